#include "tunnel/xray_config.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

ServerRoute xrayRoute(const std::string& tag, const std::string& link, int port) {
    ServerRoute r;
    r.tag = tag;
    r.socksPort = port;
    EXPECT_TRUE(parseVlessLink(link, r.link)) << link;
    return r;
}

// Names resolve to a fixed address; literals stay as they are.
std::string fakeLookup(const std::string& host) { return host == "srv.example" ? "203.0.113.7" : host; }

JsonValue outboundFor(const std::string& link) {
    JsonValue out;
    EXPECT_EQ(buildVlessOutbound(xrayRoute("rest", link, 1080), "eth0", out, fakeLookup), "") << link;
    return out;
}

}  // namespace

// The whole document for the two-route case, written out by hand.
TEST(XrayDocument, TwoRoutesExactText) {
    const std::vector<ServerRoute> routes = {
        xrayRoute("rest", "vless://11111111-2222@srv.example:443?security=tls&sni=a.test#x", 10801),
        xrayRoute("apps", "vless://u2@198.51.100.9:8443?type=grpc&serviceName=svc", 10802),
    };
    const std::string expected =
        R"({"log":{"access":"none","loglevel":"warning"},"dns":{"queryStrategy":"UseIPv4","servers":["1.1.1.1","8.8.8.8"]},)"
        R"("inbounds":[)"
        R"({"tag":"in-rest","listen":"127.0.0.1","port":10801,"protocol":"socks","settings":{"auth":"noauth","udp":true},)"
        R"("sniffing":{"enabled":true,"destOverride":["http","tls","quic"]}},)"
        R"({"tag":"in-apps","listen":"127.0.0.1","port":10802,"protocol":"socks","settings":{"auth":"noauth","udp":true},)"
        R"("sniffing":{"enabled":true,"destOverride":["http","tls","quic"]}}],)"
        R"("outbounds":[)"
        R"({"tag":"rest","protocol":"vless","settings":{"vnext":[{"address":"203.0.113.7","port":443,)"
        R"("users":[{"id":"11111111-2222","encryption":"none"}]}]},"streamSettings":{"network":"tcp","security":"tls",)"
        R"("sockopt":{"interface":"Ethernet 2"},"tlsSettings":{"serverName":"a.test","fingerprint":"chrome","allowInsecure":false}}},)"
        R"({"tag":"apps","protocol":"vless","settings":{"vnext":[{"address":"198.51.100.9","port":8443,)"
        R"("users":[{"id":"u2","encryption":"none"}]}]},"streamSettings":{"network":"grpc","security":"none",)"
        R"("sockopt":{"interface":"Ethernet 2"},"grpcSettings":{"serviceName":"svc"}}},)"
        R"({"tag":"direct","protocol":"freedom","settings":{"domainStrategy":"UseIP"}}],)"
        R"("routing":{"domainStrategy":"IPIfNonMatch","rules":[)"
        R"({"ip":["10.0.0.0/8","172.16.0.0/12","192.168.0.0/16","169.254.0.0/16","224.0.0.0/4","255.255.255.255"],"outboundTag":"direct"},)"
        R"({"inboundTag":["in-rest"],"outboundTag":"rest"},{"inboundTag":["in-apps"],"outboundTag":"apps"}]}})";
    std::string text;
    ASSERT_EQ(buildXrayConfig(routes, "Ethernet 2", text, fakeLookup), "");
    EXPECT_EQ(text, expected);
}

TEST(XrayDocument, EmptyRouteListAndOrder) {
    std::string text;
    ASSERT_EQ(buildXrayConfig({}, "eth0", text, fakeLookup), "");
    EXPECT_EQ(text,
              R"({"log":{"access":"none","loglevel":"warning"},"dns":{"queryStrategy":"UseIPv4","servers":["1.1.1.1","8.8.8.8"]},)"
              R"("inbounds":[],"outbounds":[{"tag":"direct","protocol":"freedom","settings":{"domainStrategy":"UseIP"}}],)"
              R"("routing":{"domainStrategy":"IPIfNonMatch","rules":[{"ip":["10.0.0.0/8","172.16.0.0/12",)"
              R"("192.168.0.0/16","169.254.0.0/16","224.0.0.0/4","255.255.255.255"],"outboundTag":"direct"}]}})");

    // "apps" alone, and the list order decides the order of everything per route.
    for (const std::vector<std::string>& tags : {std::vector<std::string>{"apps"},
                                                 std::vector<std::string>{"apps", "rest"}}) {
        std::vector<ServerRoute> routes;
        for (size_t i = 0; i < tags.size(); ++i) routes.push_back(xrayRoute(tags[i], "vless://u@h", 2000 + int(i)));
        ASSERT_EQ(buildXrayConfig(routes, "Сеть", text, fakeLookup), "");
        JsonValue doc;
        ASSERT_TRUE(parseJson(text, doc));
        const JsonValue& outbounds = doc.find("outbounds");
        const JsonValue& rules = doc.find("routing").find("rules");
        ASSERT_EQ(outbounds.items.size(), tags.size() + 1);
        ASSERT_EQ(rules.items.size(), tags.size() + 1);
        for (size_t i = 0; i < tags.size(); ++i) {
            EXPECT_EQ(doc.find("inbounds").items[i].find("tag").asText(), "in-" + tags[i]);
            EXPECT_EQ(doc.find("inbounds").items[i].find("port").asNumber(0), 2000 + int(i));
            EXPECT_EQ(outbounds.items[i].find("tag").asText(), tags[i]);
            EXPECT_EQ(outbounds.items[i].find("streamSettings").find("sockopt").find("interface").asText(), "Сеть");
            EXPECT_EQ(writeJson(rules.items[i + 1]), R"({"inboundTag":["in-)" + tags[i] + R"("],"outboundTag":")" +
                                                    tags[i] + R"("})");
        }
        EXPECT_EQ(outbounds.items.back().find("tag").asText(), "direct");
    }
}

// streamSettings for every transport and security variant, written out by hand.
TEST(XrayOutbound, StreamSettingsRows) {
    const char* const S = R"("sockopt":{"interface":"eth0"})";
    const struct {
        const char* link;
        std::string stream;
    } rows[] = {
        {"vless://u@h", std::string(R"({"network":"tcp","security":"none",)") + S + "}"},
        {"vless://u@h?type=RAW&security=NONE", std::string(R"({"network":"tcp","security":"none",)") + S + "}"},
        {"vless://u@h?type=&security=", std::string(R"({"network":"tcp","security":"none",)") + S + "}"},
        {"vless://u@h?security=xtls", std::string(R"({"network":"tcp","security":"xtls",)") + S + "}"},
        {"vless://u@h?type=ws", std::string(R"({"network":"ws","security":"none",)") + S +
                                    R"(,"wsSettings":{"path":"/","host":"h"}})"},
        {"vless://u@h?type=WS&path=%2Fa%3Fb&host=Cdn.Test", std::string(R"({"network":"ws","security":"none",)") +
                                                                 S + R"(,"wsSettings":{"path":"/a?b","host":"Cdn.Test"}})"},
        {"vless://u@h?type=grpc", std::string(R"({"network":"grpc","security":"none",)") + S +
                                      R"(,"grpcSettings":{"serviceName":""}})"},
        {"vless://u@h?type=httpupgrade&path=/up&host=c", std::string(R"({"network":"httpupgrade","security":"none",)") +
                                                             S + R"(,"httpupgradeSettings":{"path":"/up","host":"c"}})"},
        {"vless://u@h?type=xhttp", std::string(R"({"network":"xhttp","security":"none",)") + S +
                                       R"(,"xhttpSettings":{"path":"/","host":"h","mode":"auto"}})"},
        {"vless://u@h?type=SplitHTTP&mode=packet-up&path=/x",
         std::string(R"({"network":"xhttp","security":"none",)") + S +
             R"(,"xhttpSettings":{"path":"/x","host":"h","mode":"packet-up"}})"},
        {"vless://u@h?security=tls", std::string(R"({"network":"tcp","security":"tls",)") + S +
                                         R"(,"tlsSettings":{"serverName":"h","fingerprint":"chrome","allowInsecure":false}})"},
        {"vless://u@h?security=TLS&host=cdn&allowInsecure=1&fp=firefox&type=ws",
         std::string(R"({"network":"ws","security":"tls",)") + S +
             R"(,"tlsSettings":{"serverName":"cdn","fingerprint":"firefox","allowInsecure":true})"
             R"(,"wsSettings":{"path":"/","host":"cdn"}})"},
        {"vless://u@h?security=tls&sni=s&host=cdn&allowInsecure=true",
         std::string(R"({"network":"tcp","security":"tls",)") + S +
             R"(,"tlsSettings":{"serverName":"s","fingerprint":"chrome","allowInsecure":false}})"},
        {"vless://u@h?security=tls&sni=&host=&allowInsecure=01",
         std::string(R"({"network":"tcp","security":"tls",)") + S +
             R"(,"tlsSettings":{"serverName":"h","fingerprint":"chrome","allowInsecure":false}})"},
        {"vless://u@h?security=REALITY&type=RAW&pbk=PK",
         std::string(R"({"network":"tcp","security":"reality",)") + S +
             R"(,"realitySettings":{"serverName":"h","fingerprint":"chrome","publicKey":"PK","shortId":"","spiderX":"/"}})"},
        {"vless://u@h?security=reality&pbk=PK&sni=www.test&fp=Safari&sid=0a1b&spx=%2Fp%20q&type=grpc&serviceName=g",
         std::string(R"({"network":"grpc","security":"reality",)") + S +
             R"(,"realitySettings":{"serverName":"www.test","fingerprint":"Safari","publicKey":"PK","shortId":"0a1b",)"
             R"("spiderX":"/p q"},"grpcSettings":{"serviceName":"g"}})"},
        {"vless://u@h?security=reality&pbk=PK&type=xhttp",
         std::string(R"({"network":"xhttp","security":"reality",)") + S +
             R"(,"realitySettings":{"serverName":"h","fingerprint":"chrome","publicKey":"PK","shortId":"","spiderX":"/"})"
             R"(,"xhttpSettings":{"path":"/","host":"h","mode":"auto"}})"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.link);
        EXPECT_EQ(writeJson(outboundFor(row.link).find("streamSettings")), row.stream);
    }
}

TEST(XrayOutbound, ServerUserAndLookup) {
    std::vector<std::string> looked;
    const HostLookup lookup = [&](const std::string& host) {
        looked.push_back(host);
        return host == "srv.example" ? std::string("203.0.113.7") : host;
    };
    const struct {
        const char* link;
        const char* outboundHead;
    } rows[] = {
        {"vless://id-1@srv.example:8443?flow=xtls-rprx-vision&encryption=zz",
         R"({"tag":"apps","protocol":"vless","settings":{"vnext":[{"address":"203.0.113.7","port":8443,)"
         R"("users":[{"id":"id-1","encryption":"zz","flow":"xtls-rprx-vision"}]}]})"},
        {"vless://id%2D2@unknown.test:70000?flow=",
         R"({"tag":"apps","protocol":"vless","settings":{"vnext":[{"address":"unknown.test","port":70000,)"
         R"("users":[{"id":"id-2","encryption":"none"}]}]})"},
        {"vless://id@[2001:db8::1]:443?flow=Vision",
         R"({"tag":"apps","protocol":"vless","settings":{"vnext":[{"address":"[2001:db8::1]","port":443,)"
         R"("users":[{"id":"id","encryption":"none","flow":"Vision"}]}]})"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.link);
        JsonValue out;
        ASSERT_EQ(buildVlessOutbound(xrayRoute("apps", row.link, 1), "e", out, lookup), "");
        const std::string text = writeJson(out);
        EXPECT_EQ(text.substr(0, std::string(row.outboundHead).size()), row.outboundHead);
        EXPECT_EQ(out.members.size(), 4u);
        EXPECT_EQ(out.members.back().first, "streamSettings");
    }
    EXPECT_EQ(looked, (std::vector<std::string>{"srv.example", "unknown.test", "[2001:db8::1]"}));
}

TEST(XrayOutbound, ErrorsLeaveOutputUntouched) {
    const struct {
        const char* link;
        const char* error;
    } rows[] = {
        {"vless://u@h?security=reality", "в ключе Reality нет pbk"},
        {"vless://u@h?security=Reality&pbk=", "в ключе Reality нет pbk"},
        {"vless://u@h?security=reality&type=kcp", "в ключе Reality нет pbk"},  // reality is checked first
        {"vless://u@h?type=kcp", "транспорт «kcp» не поддерживается"},
        {"vless://u@h?type=KCP&security=tls", "транспорт «kcp» не поддерживается"},
        {"vless://u@h?type=H2", "транспорт «h2» не поддерживается"},
        {"vless://u@h?type=%D0%A4", "транспорт «\xD0\xA4» не поддерживается"},  // only ASCII is lowered
        {"vless://u@h?type=Raw%20", "транспорт «raw » не поддерживается"},
    };
    int lookups = 0;
    const HostLookup lookup = [&](const std::string& host) {
        ++lookups;
        return host;
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.link);
        JsonValue out("keep");
        EXPECT_EQ(buildVlessOutbound(xrayRoute("rest", row.link, 1), "e", out, lookup), row.error);
        EXPECT_EQ(writeJson(out), "\"keep\"");
    }
    EXPECT_EQ(lookups, 0);

    // The first failing route decides the text; the document is left as it was.
    std::string text = "previous";
    const std::vector<ServerRoute> routes = {xrayRoute("rest", "vless://u@h?type=quic", 1),
                                             xrayRoute("apps", "vless://u@h?security=reality", 2)};
    EXPECT_EQ(buildXrayConfig(routes, "e", text, lookup), "транспорт «quic» не поддерживается");
    EXPECT_EQ(text, "previous");
    const std::vector<ServerRoute> second = {xrayRoute("rest", "vless://u@h", 1),
                                             xrayRoute("apps", "vless://u@h?security=reality", 2)};
    EXPECT_EQ(buildXrayConfig(second, "e", text, lookup), "в ключе Reality нет pbk");
    EXPECT_EQ(text, "previous");
}
