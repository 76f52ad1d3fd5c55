#include "tunnel/singbox_config.h"
#include "foundation/text.h"

#include <algorithm>

namespace {

bool endsWith(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

void appendOnce(std::vector<std::string>& list, const std::string& name) {
    if (std::find(list.begin(), list.end(), name) == list.end()) list.push_back(name);
}

}  // namespace

std::vector<std::string> buildProcessList(const std::vector<std::string>& apps) {
    static const char* const kGameCompanions[] = {"TslGame_BE.exe", "ExecPubg.exe", "BEService.exe",
                                                  "BEService_x64.exe"};
    std::vector<std::string> out;
    for (const std::string& app : apps) {
        std::string name = app;
        const std::string lower = lowerAscii(name);
        if (lower.size() < 4 || !endsWith(lower, ".exe")) name += ".exe";
        appendOnce(out, name);
        if (lowerAscii(name) == "tslgame.exe") {
            for (const char* companion : kGameCompanions) appendOnce(out, companion);
        }
    }
    return out;
}

JsonValue buildDomainResolver() {
    JsonValue resolver(JsonKind::Object);
    resolver.member("server") = "dns";
    resolver.member("strategy") = "prefer_ipv4";
    return resolver;
}

JsonValue buildSocksOutbound(const ServerRoute& route) {
    JsonValue outbound(JsonKind::Object);
    outbound.member("type") = "socks";
    outbound.member("tag") = route.tag;
    outbound.member("server") = "127.0.0.1";
    outbound.member("server_port") = route.socksPort;
    outbound.member("version") = "5";
    outbound.member("udp_fragment") = true;
    outbound.member("domain_resolver") = buildDomainResolver();
    return outbound;
}

std::string buildSingBoxConfig(const std::string& adapterName, const std::optional<ServerRoute>& apps,
                               const std::vector<std::string>& processList,
                               const std::optional<ServerRoute>& rest) {
    JsonValue rules(JsonKind::Array);
    {
        JsonValue own(JsonKind::Object);
        // The engines' own server connections, and the program's, must never enter the tunnel.
        own.member("process_name") = JsonValue(std::vector<std::string>{"xray-core.exe", "sing-box.exe",
                                                                        "VELMORANTE.exe"});
        own.member("outbound") = "direct";
        rules.push(std::move(own));
        JsonValue sniff(JsonKind::Object);
        sniff.member("action") = "sniff";
        rules.push(std::move(sniff));
        JsonValue dns(JsonKind::Object);
        dns.member("protocol") = "dns";
        dns.member("action") = "hijack-dns";
        rules.push(std::move(dns));
        JsonValue privateRanges(JsonKind::Object);
        privateRanges.member("ip_is_private") = true;
        privateRanges.member("outbound") = "direct";
        rules.push(std::move(privateRanges));
        if (apps) {
            JsonValue listed(JsonKind::Object);
            listed.member("process_name") = JsonValue(processList);
            listed.member("outbound") = apps->tag;
            rules.push(std::move(listed));
        }
    }

    JsonValue outbounds(JsonKind::Array);
    if (rest) outbounds.push(buildSocksOutbound(*rest));
    if (apps) outbounds.push(buildSocksOutbound(*apps));
    JsonValue direct(JsonKind::Object);
    direct.member("type") = "direct";
    direct.member("tag") = "direct";
    direct.member("bind_interface") = adapterName;
    direct.member("domain_resolver") = buildDomainResolver();
    outbounds.push(std::move(direct));

    JsonValue document(JsonKind::Object);
    JsonValue& log = document.member("log");
    log.member("level") = "warn";
    log.member("timestamp") = false;

    JsonValue dnsServer(JsonKind::Object);
    dnsServer.member("type") = "udp";
    dnsServer.member("tag") = "dns";
    dnsServer.member("server") = "8.8.8.8";
    dnsServer.member("detour") = "direct";
    JsonValue& dns = document.member("dns");
    dns.member("servers").push(std::move(dnsServer));
    dns.member("final") = "dns";

    JsonValue tun(JsonKind::Object);
    tun.member("type") = "tun";
    tun.member("tag") = "tun-in";
    tun.member("interface_name") = "velmorante-tun";
    tun.member("address") = JsonValue(std::vector<std::string>{"172.19.0.1/30"});
    tun.member("mtu") = 1500;
    tun.member("auto_route") = true;
    tun.member("strict_route") = true;
    tun.member("stack") = "mixed";
    document.member("inbounds").push(std::move(tun));

    document.member("outbounds") = std::move(outbounds);
    JsonValue& route = document.member("route");
    route.member("auto_detect_interface") = true;
    route.member("final") = rest ? rest->tag : std::string("direct");
    route.member("rules") = std::move(rules);
    return writeJson(document);
}
