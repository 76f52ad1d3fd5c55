#include "tunnel/xray_config.h"
#include "foundation/text.h"

namespace {

// The members shared by the HTTP-like transports: the request path and Host header.
void setPathAndHost(JsonValue& settings, const VlessLink& link) {
    settings.member("path") = linkParam(link, "path", "/");
    settings.member("host") = linkParam(link, "host", link.host);
}

}  // namespace

std::string buildVlessOutbound(const ServerRoute& route, const std::string& adapterName, JsonValue& out,
                               const HostLookup& lookup) {
    const VlessLink& link = route.link;
    std::string network = lowerAscii(linkParam(link, "type", "tcp"));
    if (network == "raw") network = "tcp";
    const std::string security = lowerAscii(linkParam(link, "security", "none"));
    const std::string sni = linkParam(link, "sni", linkParam(link, "host", link.host));

    JsonValue user(JsonKind::Object);
    user.member("id") = link.userId;
    user.member("encryption") = linkParam(link, "encryption", "none");
    const std::string flow = linkParam(link, "flow", "");
    if (!flow.empty()) user.member("flow") = flow;

    JsonValue stream(JsonKind::Object);
    stream.member("network") = network;
    stream.member("security") = security;
    stream.member("sockopt").member("interface") = adapterName;

    if (security == "reality") {
        const std::string publicKey = linkParam(link, "pbk", "");
        if (publicKey.empty()) return "в ключе Reality нет pbk";
        JsonValue& reality = stream.member("realitySettings");
        reality.member("serverName") = sni;
        reality.member("fingerprint") = linkParam(link, "fp", "chrome");
        reality.member("publicKey") = publicKey;
        reality.member("shortId") = linkParam(link, "sid", "");
        reality.member("spiderX") = linkParam(link, "spx", "/");
    } else if (security == "tls") {
        JsonValue& tls = stream.member("tlsSettings");
        tls.member("serverName") = sni;
        tls.member("fingerprint") = linkParam(link, "fp", "chrome");
        tls.member("allowInsecure") = linkParam(link, "allowInsecure", "") == "1";
    }

    if (network == "ws") {
        setPathAndHost(stream.member("wsSettings"), link);
    } else if (network == "grpc") {
        stream.member("grpcSettings").member("serviceName") = linkParam(link, "serviceName", "");
    } else if (network == "httpupgrade") {
        setPathAndHost(stream.member("httpupgradeSettings"), link);
    } else if (network == "xhttp" || network == "splithttp") {
        JsonValue& xhttp = stream.member("xhttpSettings");
        setPathAndHost(xhttp, link);
        xhttp.member("mode") = linkParam(link, "mode", "auto");
        stream.member("network") = "xhttp";
    } else if (network != "tcp") {
        return "транспорт «" + network + "» не поддерживается";
    }

    JsonValue server(JsonKind::Object);
    server.member("address") = lookup ? lookup(link.host) : link.host;
    server.member("port") = link.port;
    server.member("users").push(std::move(user));

    JsonValue outbound(JsonKind::Object);
    outbound.member("tag") = route.tag;
    outbound.member("protocol") = "vless";
    outbound.member("settings").member("vnext").push(std::move(server));
    outbound.member("streamSettings") = std::move(stream);
    out = std::move(outbound);
    return {};
}

std::string buildXrayConfig(const std::vector<ServerRoute>& routes, const std::string& adapterName,
                            std::string& out, const HostLookup& lookup) {
    JsonValue document(JsonKind::Object);
    // xray's access log is on unless turned off: it would record every destination in engine.log.
    JsonValue& log = document.member("log");
    log.member("access") = "none";
    log.member("loglevel") = "warning";
    JsonValue& dns = document.member("dns");
    dns.member("queryStrategy") = "UseIPv4";
    dns.member("servers") = JsonValue(std::vector<std::string>{"1.1.1.1", "8.8.8.8"});

    JsonValue inbounds(JsonKind::Array);
    JsonValue outbounds(JsonKind::Array);
    JsonValue rules(JsonKind::Array);
    JsonValue privateRanges(JsonKind::Object);
    privateRanges.member("ip") = JsonValue(std::vector<std::string>{
        "10.0.0.0/8", "172.16.0.0/12", "192.168.0.0/16", "169.254.0.0/16", "224.0.0.0/4", "255.255.255.255"});
    privateRanges.member("outboundTag") = "direct";
    rules.push(std::move(privateRanges));

    for (const ServerRoute& route : routes) {
        const std::string inboundTag = "in-" + route.tag;
        JsonValue inbound(JsonKind::Object);
        inbound.member("tag") = inboundTag;
        inbound.member("listen") = "127.0.0.1";
        inbound.member("port") = route.socksPort;
        inbound.member("protocol") = "socks";
        JsonValue& settings = inbound.member("settings");
        settings.member("auth") = "noauth";
        settings.member("udp") = true;
        JsonValue& sniffing = inbound.member("sniffing");
        sniffing.member("enabled") = true;
        sniffing.member("destOverride") = JsonValue(std::vector<std::string>{"http", "tls", "quic"});
        inbounds.push(std::move(inbound));

        JsonValue outbound;
        std::string error = buildVlessOutbound(route, adapterName, outbound, lookup);
        if (!error.empty()) return error;
        outbounds.push(std::move(outbound));

        JsonValue rule(JsonKind::Object);
        rule.member("inboundTag") = JsonValue(std::vector<std::string>{inboundTag});
        rule.member("outboundTag") = route.tag;
        rules.push(std::move(rule));
    }

    JsonValue direct(JsonKind::Object);
    direct.member("tag") = "direct";
    direct.member("protocol") = "freedom";
    direct.member("settings").member("domainStrategy") = "UseIP";
    outbounds.push(std::move(direct));

    document.member("inbounds") = std::move(inbounds);
    document.member("outbounds") = std::move(outbounds);
    JsonValue& routing = document.member("routing");
    routing.member("domainStrategy") = "IPIfNonMatch";
    routing.member("rules") = std::move(rules);

    out = writeJson(document);
    return {};
}
