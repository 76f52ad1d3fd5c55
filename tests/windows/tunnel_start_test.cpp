// The tunnel start and stop under Wine with the stand-in engines unpacked from this test's own
// resources (101-103, as the program carries them), inside the network namespace that
// scripts/test.d/42-tunnel builds: a veth with the default route (the Internet adapter), a VLESS
// server on 198.18.0.1 (Debian's v2ray) and a page that only the server's side can reach.
//   VLM_TUNNEL_SERVER   the server's link; VLM_TUNNEL_GENERAL  a second link to the same server
//   VLM_TUNNEL_PAGE     "address:port" of the page (reachable only through the server)
//   VLM_TUNNEL_TEXT     a text the page holds
// "--hold FLAGFILE" starts a tunnel, writes FLAGFILE and waits to be killed.
#include "tunnel/tunnel.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <tlhelp32.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "conflicts/adapters.h"
#include "foundation/paths.h"
#include "foundation/text.h"
#include "test_support.h"
#include "tunnel/engine_files.h"
#include "foundation/net.h"

namespace {

std::string env(const char* name) {
    const char* v = std::getenv(name);
    return v ? v : "";
}

// Built once, as the program builds its own.
const TunnelOps& realOps() {
    static const TunnelOps ops = windowsTunnelOps();
    return ops;
}

std::wstring engineFile(const wchar_t* name) { return engineFolder() + L"\\" + name; }
bool exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

int countProcesses(const wchar_t* exeName) {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    int n = 0;
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
        n += _wcsicmp(entry.szExeFile, exeName) == 0;
    }
    CloseHandle(snapshot);
    return n;
}

bool waitFor(const std::function<bool()>& done, DWORD ms) {
    const ULONGLONG end = GetTickCount64() + ms;
    while (!done()) {
        if (GetTickCount64() > end) return false;
        Sleep(50);
    }
    return true;
}

// One HTTP GET through a SOCKS5 port: the page's text, or empty.
std::string fetchThroughSocks(int32_t socksPort, const std::string& target) {
    startSockets();
    const size_t colon = target.rfind(':');
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    DWORD timeout = 5000;
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout), sizeof timeout);
    sockaddr_in proxy{};
    proxy.sin_family = AF_INET;
    proxy.sin_port = htons(static_cast<u_short>(socksPort));
    inet_pton(AF_INET, "127.0.0.1", &proxy.sin_addr);
    std::string answer;
    auto exchange = [&](const std::string& out, size_t want) {
        if (send(s, out.data(), static_cast<int>(out.size()), 0) != static_cast<int>(out.size())) return false;
        char buf[16];
        size_t got = 0;
        while (got < want) {
            const int n = recv(s, buf + got, static_cast<int>(want - got), 0);
            if (n <= 0) return false;
            got += static_cast<size_t>(n);
        }
        return buf[0] == 5 && buf[1] == 0;
    };
    in_addr address{};
    inet_pton(AF_INET, target.substr(0, colon).c_str(), &address);
    const u_short port = htons(static_cast<u_short>(std::stoi(target.substr(colon + 1))));
    std::string request("\x05\x01\x00\x01", 4);
    request.append(reinterpret_cast<const char*>(&address), 4).append(reinterpret_cast<const char*>(&port), 2);
    if (connect(s, reinterpret_cast<sockaddr*>(&proxy), sizeof proxy) == 0 && exchange(std::string("\x05\x01\x00", 3), 2) &&
        exchange(request, 10)) {
        // The engine sniffs the Host header and routes by it: it names the target.
        const std::string get = "GET / HTTP/1.0\r\nHost: " + target + "\r\n\r\n";
        send(s, get.data(), static_cast<int>(get.size()), 0);
        char buf[4096];
        for (int n; (n = recv(s, buf, sizeof buf, 0)) > 0;) answer.append(buf, static_cast<size_t>(n));
    }
    closesocket(s);
    return answer;
}

std::string engineLog() { return readFileBytes(std::filesystem::path(dataFolder() + L"\\engine.log")); }

void control(const std::string& document) {
    const std::wstring path = engineFile(L"standin-control.json");
    if (document.empty()) {
        DeleteFileW(path.c_str());
        DeleteFileW(engineFile(L"standin-singbox-attempts").c_str());
    } else {
        writeFileBytes(std::filesystem::path(path), document);
    }
}

struct TunnelWin : ::testing::Test {
    EngineState state;
    void SetUp() override {
        if (env("VLM_TUNNEL_SERVER").empty()) GTEST_SKIP() << "runs inside scripts/test.d/42-tunnel";
        ASSERT_EQ(ensureEngineFiles(), "");
        control("");
    }
    void TearDown() override {
        stopTunnel(state, realOps());
        control("");
    }
    void expectNothingLeft() {
        EXPECT_FALSE(state.running || state.xrayProcess || state.singBoxProcess || state.job || state.healthThread);
        EXPECT_TRUE(waitFor([] { return countProcesses(L"xray-core.exe") + countProcesses(L"sing-box.exe") == 0; },
                            3000));
        EXPECT_FALSE(exists(engineFile(L"tun.json")));
        EXPECT_TRUE(state.routes.empty());
    }
};

TEST_F(TunnelWin, SystemAndPerApplicationStartsCarryTrafficAndStopCleanly) {
    const TunnelRequest requests[] = {
        {TunnelMode::System, {}, env("VLM_TUNNEL_SERVER"), ""},
        {TunnelMode::PerApplication, {"TslGame"}, env("VLM_TUNNEL_SERVER"), env("VLM_TUNNEL_GENERAL")},
    };
    for (const TunnelRequest& request : requests) {
        ASSERT_EQ(startTunnel(state, request, realOps()), "");
        EXPECT_TRUE(state.running);
        EXPECT_TRUE(isTunnelAdapterUp());
        EXPECT_TRUE(exists(engineFile(L"tun.json")));
        // While the engines run, their files and the document sing-box read cannot be changed.
        for (const wchar_t* name : {L"xray-core.exe", L"sing-box.exe", L"wintun.dll", L"tun.json"}) {
            HANDLE w = CreateFileW(engineFile(name).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                   OPEN_EXISTING, 0, nullptr);
            EXPECT_EQ(w, INVALID_HANDLE_VALUE) << wideToUtf8(name);
            if (w != INVALID_HANDLE_VALUE) CloseHandle(w);
            EXPECT_FALSE(DeleteFileW(engineFile(name).c_str())) << wideToUtf8(name);
        }
        EXPECT_EQ(state.serverIp, "198.18.0.1");
        ASSERT_EQ(state.routes.size(), request.mode == TunnelMode::System ? 1u : 2u);
        EXPECT_EQ(state.routes[0].tag, "rest");
        for (const RoutePort& route : state.routes) {
            const std::string page = fetchThroughSocks(route.socksPort, env("VLM_TUNNEL_PAGE"));
            EXPECT_NE(page.find(env("VLM_TUNNEL_TEXT")), std::string::npos) << route.tag << ": " << page;
        }
        // The health probe measures the server outside the tunnel.
        const uint64_t okBefore = state.lastOkTick;
        EXPECT_TRUE(waitFor([&] { return state.latencyMs >= 0 && state.lastOkTick > okBefore; }, 4000));
        // xray's start marker; no access line naming the page, and sing-box silent at level warn.
        const std::string log = engineLog();
        EXPECT_NE(log.find("core: Xray 25."), std::string::npos) << log;
        // Each start begins the log afresh: one start marker however many tunnels ran before.
        EXPECT_EQ(log.find("core: Xray 25."), log.rfind("core: Xray 25.")) << log;
        EXPECT_EQ(log.find(" accepted "), std::string::npos) << log;
        EXPECT_EQ(log.find("FATAL"), std::string::npos) << log;

        const int32_t port = state.routes[0].socksPort;
        stopTunnel(state, realOps());
        EXPECT_LT(probeTcp("127.0.0.1", static_cast<uint16_t>(port), 0, 300), 0);
        EXPECT_TRUE(waitFor([] { return !isTunnelAdapterUp(); }, 3000));
        expectNothingLeft();
    }
}

TEST_F(TunnelWin, EnginesThatFailLeaveNothingBehindAndTheirReasonReachesTheMessage) {
    // The waits themselves are the fake-clock tests' business; here they are cut short.
    struct Row {
        const char* what;
        const char* control;
        std::string link;
        std::string message;  // its beginning
        const char* contains;
        TunnelTimeouts timeouts;
    };
    const std::string server = env("VLM_TUNNEL_SERVER");
    const std::string badKey = server.substr(0, server.find('?')) + "?type=tcp&security=reality&pbk=abc#k";
    const TunnelTimeouts shortAdapterWait{kForeignAdapterWaitMs, kLocalPortWaitMs, 1500};
    const Row rows[] = {
        {"xray never ready", R"({"xray":{"neverReady":true,"errorLine":true}})", server,
         "Ядро xray не запустилось. 20", "[Error] app/dispatcher: ", {kForeignAdapterWaitMs, 1000, kAdapterWaitMs}},
        {"xray refusing a REALITY key", "", badKey,
         "Ядро xray не запустилось. Failed to start: main: failed to load config files: [stdin:] > infra/conf: "
         "failed to build outbound config with tag rest",
         "", {}},
        {"sing-box unable to configure its tun", R"({"sing-box":{"exitAtOnce":true}})", server,
         "Туннельный адаптер не поднялся. FATAL[0000] start service: start inbound/tun[tun-in]: configure tun "
         "interface: Access is denied.",
         "", shortAdapterWait},
        {"sing-box never brings its adapter up", R"({"sing-box":{"adapterDown":true}})", server,
         "Туннельный адаптер не поднялся. ", "", shortAdapterWait},
    };
    for (const Row& row : rows) {
        control(row.control);
        TunnelOps ops = realOps();
        ops.timeouts = row.timeouts;
        const std::string message = startTunnel(state, TunnelRequest{TunnelMode::System, {}, row.link, ""}, ops);
        EXPECT_EQ(message.rfind(row.message, 0), 0u) << row.what << ": " << message;
        EXPECT_NE(message.find(row.contains), std::string::npos) << row.what << ": " << message;
        expectNothingLeft();
        control("");
    }
}

// Started while its starter ignored Ctrl+C, a Go engine never sees the program's Ctrl+C.
TEST_F(TunnelWin, AnEngineIgnoringCtrlCIsTerminatedAfterItsGrace) {
    control(R"({"xray":{"ignoreCtrlC":true}})");
    ASSERT_EQ(startTunnel(state, TunnelRequest{TunnelMode::System, {}, env("VLM_TUNNEL_SERVER"), ""}, realOps()), "");
    stopTunnel(state, realOps());  // xray outlasts its grace and is terminated
    expectNothingLeft();
}

TEST_F(TunnelWin, KillingTheStarterEndsBothEngines) {
    TempFolder folder;
    const std::wstring flag = folder.path.wstring() + L"\\started";
    std::wstring commandLine = L"\"" + modulePath() + L"\" --hold \"" + flag + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION child{};
    ASSERT_TRUE(CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                               &child));
    const bool started = waitFor([&] { return exists(flag); }, 20000);
    EXPECT_TRUE(started);
    EXPECT_EQ(countProcesses(L"xray-core.exe"), 1);
    EXPECT_EQ(countProcesses(L"sing-box.exe"), 1);
    TerminateProcess(child.hProcess, 1);
    WaitForSingleObject(child.hProcess, 5000);
    CloseHandle(child.hProcess);
    CloseHandle(child.hThread);
    EXPECT_TRUE(waitFor([] { return countProcesses(L"xray-core.exe") + countProcesses(L"sing-box.exe") == 0; }, 5000));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::string(argv[1]) == "--hold") {
        EngineState state;
        if (!startTunnel(state, TunnelRequest{TunnelMode::System, {}, env("VLM_TUNNEL_SERVER"), ""}, realOps()).empty()) {
            return 1;
        }
        writeFileBytes(std::filesystem::path(argv[2]), "started");
        Sleep(60000);  // killed long before
        return 0;
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
