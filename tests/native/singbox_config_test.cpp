#include "tunnel/singbox_config.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace {

using Names = std::vector<std::string>;

ServerRoute singBoxRoute(const std::string& tag, int port) {
    ServerRoute r;
    r.tag = tag;
    r.socksPort = port;
    return r;
}

}  // namespace

TEST(SingBoxProcessList, Rows) {
    const struct {
        Names apps, processes;
    } rows[] = {
        {{"TslGame"}, {"TslGame.exe", "TslGame_BE.exe", "ExecPubg.exe", "BEService.exe", "BEService_x64.exe"}},
        {{"tslgame.exe", "TslGame_BE.exe"},
         {"tslgame.exe", "TslGame_BE.exe", "ExecPubg.exe", "BEService.exe", "BEService_x64.exe"}},
        {{"BEService", "TSLGAME.EXE", "x"},
         {"BEService.exe", "TSLGAME.EXE", "TslGame_BE.exe", "ExecPubg.exe", "BEService_x64.exe", "x.exe"}},
        {{"TslGame", "TslGame.exe", "tslgame"},
         {"TslGame.exe", "TslGame_BE.exe", "ExecPubg.exe", "BEService.exe", "BEService_x64.exe", "tslgame.exe"}},
        {{"a", "a.exe", "A.exe"}, {"a.exe", "A.exe"}},
        {{"exe", ".exe", "Game.EXE", "x.ex", ""}, {"exe.exe", ".exe", "Game.EXE", "x.ex.exe"}},
        {{"C:\\Games\\x.exe", " sp ", "Телеграм"}, {"C:\\Games\\x.exe", " sp .exe", "Телеграм.exe"}},
        {{"TslGame.exe "}, {"TslGame.exe .exe"}},
        {{}, {}},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(buildProcessList(row.apps), row.processes);
    }
}

// The "apps only" document, written out by hand.
TEST(SingBoxDocument, AppsOnlyExactText) {
    const std::string expected =
        R"({"log":{"level":"warn","timestamp":false},)"
        R"("dns":{"servers":[{"type":"udp","tag":"dns","server":"8.8.8.8","detour":"direct"}],"final":"dns"},)"
        R"("inbounds":[{"type":"tun","tag":"tun-in","interface_name":"velmorante-tun","address":["172.19.0.1/30"],)"
        R"("mtu":1500,"auto_route":true,"strict_route":true,"stack":"mixed"}],)"
        R"("outbounds":[{"type":"socks","tag":"apps","server":"127.0.0.1","server_port":20002,"version":"5",)"
        R"("udp_fragment":true,"domain_resolver":{"server":"dns","strategy":"prefer_ipv4"}},)"
        R"({"type":"direct","tag":"direct","bind_interface":"Подключение по локальной сети \"1\"",)"
        R"("domain_resolver":{"server":"dns","strategy":"prefer_ipv4"}}],)"
        R"("route":{"auto_detect_interface":true,"final":"direct","rules":[)"
        R"({"process_name":["xray-core.exe","sing-box.exe","VELMORANTE.exe"],"outbound":"direct"},)"
        R"({"action":"sniff"},{"protocol":"dns","action":"hijack-dns"},{"ip_is_private":true,"outbound":"direct"},)"
        R"({"process_name":["Game.exe"],"outbound":"apps"}]}})";
    EXPECT_EQ(buildSingBoxConfig("Подключение по локальной сети \"1\"", singBoxRoute("apps", 20002), {"Game.exe"},
                                 std::nullopt),
              expected);
}

TEST(SingBoxDocument, RouteListRows) {
    const std::optional<ServerRoute> rest = singBoxRoute("rest", 30001), apps = singBoxRoute("apps", 30002);
    const std::string restOut = writeJson(buildSocksOutbound(*rest));
    const std::string appsOut = writeJson(buildSocksOutbound(*apps));
    EXPECT_EQ(restOut, R"({"type":"socks","tag":"rest","server":"127.0.0.1","server_port":30001,"version":"5",)"
                       R"("udp_fragment":true,"domain_resolver":{"server":"dns","strategy":"prefer_ipv4"}})");
    const std::string direct =
        R"({"type":"direct","tag":"direct","bind_interface":"eth0","domain_resolver":{"server":"dns","strategy":"prefer_ipv4"}})";
    const struct {
        std::optional<ServerRoute> apps, rest;
        Names processes;
        std::string outbounds, rule5, final;
    } rows[] = {
        {std::nullopt, rest, {"a.exe"}, "[" + restOut + "," + direct + "]", "", "rest"},
        {apps, rest, {"a.exe", "b.exe"}, "[" + restOut + "," + appsOut + "," + direct + "]",
         R"({"process_name":["a.exe","b.exe"],"outbound":"apps"})", "rest"},
        {apps, std::nullopt, {}, "[" + appsOut + "," + direct + "]", R"({"process_name":[],"outbound":"apps"})",
         "direct"},
        {std::nullopt, std::nullopt, {"a.exe"}, "[" + direct + "]", "", "direct"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.outbounds);
        JsonValue doc;
        ASSERT_TRUE(parseJson(buildSingBoxConfig("eth0", row.apps, row.processes, row.rest), doc));
        EXPECT_EQ(writeJson(doc.find("outbounds")), row.outbounds);
        const JsonValue& route = doc.find("route");
        EXPECT_EQ(route.find("final").asText(), row.final);
        const JsonValue& rules = route.find("rules");
        ASSERT_EQ(rules.items.size(), row.rule5.empty() ? 4u : 5u);
        if (!row.rule5.empty()) {
            EXPECT_EQ(writeJson(rules.items[4]), row.rule5);
        }
    }
}
