// The tunnel start and stop over a scripted system and a fake clock: the order of the steps, each
// failure with its message and what happened before it, the sing-box retry loop, the engine-log
// reason and the health probe.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "tunnel/tunnel.h"

namespace {

constexpr const char* kServer = "vless://11111111-2222-3333-4444-555555555555@198.18.5.1:8443?type=tcp";
constexpr const char* kGeneral = "vless://11111111-2222-3333-4444-555555555555@198.18.5.2:443?type=tcp";

// A scripted machine. Handles are small numbers: 1 the job, 10+ xray, 20+ sing-box attempts, 90 the
// health thread.
struct FakeSystem {
    uint64_t now = 1000;
    std::vector<std::string> events;
    bool internet = true;
    uint64_t foreignGoneAt = 0;      // a foreign adapter is up until this tick (0: never there)
    bool foreignStays = false;
    std::string filesMessage;
    bool xrayLaunches = true;
    uint64_t xrayReadyAfter = 0;     // after launch; -1: never
    bool xrayNeverReady = false;
    bool xrayExitsAtOnce = false;   // its ports open, then it exits (a start failure after listening)
    bool healthThreadFails = false;
    std::vector<std::string> singBoxAttempts = {"up"};  // "up", "exit", "never", "nolaunch"
    int singBoxLaunches = 0;
    uint64_t singBoxStartedAt = 0;
    std::map<std::string, int> ports;
    int nextPort = 20001;
    std::string log = "";
    int32_t serverProbe = 42;
    std::string tunConfig;

    TunnelOps ops() {
        TunnelOps o;
        o.clock.nowMs = [this] { return now; };
        o.clock.sleepMs = [this](uint32_t ms) { now += ms; };
        o.log = [this](const std::string& line) { events.push_back("log " + line); };
        o.adapters.findInternetAdapter = [this](std::string& name, uint32_t& index) {
            if (!internet) return false;
            name = "Ethernet";
            index = 7;
            return true;
        };
        o.conflicts.clear = [this] { events.push_back("clear conflicts"); };
        o.adapters.findForeignTunnelAdapter = [this]() -> std::string {
            return (foreignStays || now < foreignGoneAt) ? "wintun0" : "";
        };
        o.adapters.isTunnelAdapterUp = [this] {
            const std::string& mode = singBoxAttempts[std::min<size_t>(singBoxLaunches - 1, singBoxAttempts.size() - 1)];
            return mode == "up" && now >= singBoxStartedAt + 300;
        };
        o.network.freeLocalPort = [this] { return nextPort++; };
        o.network.resolveIPv4 = [](const std::string& host) { return host; };
        o.network.probeTcp = [this](const std::string& address, uint16_t port, uint32_t index, uint32_t timeoutMs) {
            if (address == "127.0.0.1") {
                events.push_back("probe " + std::to_string(port));
                now += 1;
                return (!xrayNeverReady && now >= xrayReadyAt) ? 1 : -1;
            }
            events.push_back("health " + address + ":" + std::to_string(port) + " if" + std::to_string(index) + " " +
                             std::to_string(timeoutMs));
            return serverProbe;
        };
        o.folder.ensureEngineFiles = [this](std::vector<PlatformHandle>&) {
            events.push_back("engine files");
            return filesMessage;
        };
        o.processes.killLeftoverEngines = [this] { events.push_back("kill leftovers"); };
        o.folder.engineFolder = "C:\\Data\\engine";
        o.folder.deleteEngineLog = [this] { events.push_back("delete engine.log"); };
        o.folder.readEngineLogTail = [this] { return log; };
        o.processes.createJob = [this] {
            events.push_back("job");
            return PlatformHandle(reinterpret_cast<void*>(1));
        };
        o.processes.launchEngine = [this](const char* exe, const std::string& args, const std::string* stdinText,
                                const PlatformHandle& job) {
            const std::string name = exe;
            events.push_back("launch " + name + " " + args + (stdinText ? " +stdin" : "") + (job ? " +job" : ""));
            if (name == "xray-core.exe") {
                if (!xrayLaunches) return PlatformHandle();
                xrayReadyAt = now + xrayReadyAfter;
                lastConfig = *stdinText;
                return PlatformHandle(reinterpret_cast<void*>(10));
            }
            ++singBoxLaunches;
            singBoxStartedAt = now;
            if (currentSingBox() == "nolaunch") return PlatformHandle();
            return PlatformHandle(reinterpret_cast<void*>(static_cast<intptr_t>(20 + singBoxLaunches)));
        };
        o.processes.processRunning = [this](const PlatformHandle& p) {
            const intptr_t id = reinterpret_cast<intptr_t>(p.get());
            if (id >= 20 && id < 90) return currentSingBox() != "exit";
            if (id == 10) return !xrayExitsAtOnce || now < xrayReadyAt + 20;
            return true;
        };
        o.processes.stopEngineProcess = [this](PlatformHandle& p, uint32_t graceMs) {
            if (p) events.push_back("stop " + std::to_string(reinterpret_cast<intptr_t>(p.get())) + " " +
                                    std::to_string(graceMs));
            p = PlatformHandle();
        };
        o.folder.writeTunConfig = [this](const std::string& text, std::vector<PlatformHandle>&) {
            events.push_back("write tun.json");
            tunConfig = text;
            return true;
        };
        o.folder.deleteTunConfig = [this] { events.push_back("delete tun.json"); };
        o.adapters.setTunnelDns = [this] { events.push_back("dns"); };
        o.processes.startThread = [this](std::function<void()>) {
            if (healthThreadFails) return PlatformHandle();
            events.push_back("health thread");
            return PlatformHandle(reinterpret_cast<void*>(90));
        };
        o.processes.joinThread = [this](const PlatformHandle&, uint32_t ms) {
            events.push_back("join health " + std::to_string(ms));
        };
        return o;
    }
    const std::string& currentSingBox() const {
        return singBoxAttempts[std::min<size_t>(singBoxLaunches - 1, singBoxAttempts.size() - 1)];
    }
    uint64_t xrayReadyAt = 0;
    std::string lastConfig;

    bool happened(const std::string& event) const {
        for (const std::string& e : events) {
            if (e == event) return true;
        }
        return false;
    }
    int count(const std::string& prefix) const {
        int n = 0;
        for (const std::string& e : events) n += e.rfind(prefix, 0) == 0;
        return n;
    }
};

TunnelRequest systemRequest(const std::string& link = kServer) {
    return TunnelRequest{TunnelMode::System, {}, link, ""};
}

TEST(TunnelStart, FailuresBeforeAnyEngineLeaveNothingRunning) {
    struct Row {
        const char* what;
        std::function<void(FakeSystem&, TunnelRequest&)> setUp;
        std::string message;
        std::vector<std::string> before;  // events that must have happened
        std::vector<std::string> never;
    };
    const Row rows[] = {
        {"no internet adapter", [](FakeSystem& s, TunnelRequest&) { s.internet = false; },
         "Не найден сетевой адаптер с выходом в интернет.", {}, {"clear conflicts"}},
        {"foreign adapter stays", [](FakeSystem& s, TunnelRequest&) { s.foreignStays = true; },
         "Другая сетевая программа (адаптер «wintun0») не закрылась сама. Закройте её и нажмите снова.",
         {"clear conflicts"}, {"engine files"}},
        {"per-app without apps",
         [](FakeSystem&, TunnelRequest& r) { r = TunnelRequest{TunnelMode::PerApplication, {}, kServer, ""}; },
         "Список приложений пуст.", {"clear conflicts"}, {"engine files"}},
        {"per-app link unreadable",
         [](FakeSystem&, TunnelRequest& r) { r = TunnelRequest{TunnelMode::PerApplication, {"TslGame"}, "x", ""}; },
         "Сервер для приложений не задан.", {"clear conflicts"}, {"engine files"}},
        {"system link unreadable", [](FakeSystem&, TunnelRequest& r) { r.primaryLink = "vless://nohost"; },
         "Сервер не задан.", {"clear conflicts"}, {"engine files"}},
        {"engine files", [](FakeSystem& s, TunnelRequest&) { s.filesMessage = "Не удалось распаковать sing-box.exe."; },
         "Не удалось распаковать sing-box.exe.", {"engine files"}, {"kill leftovers", "job"}},
        {"xray document", [](FakeSystem&, TunnelRequest& r) { r.primaryLink = std::string(kServer) + "&type=quic"; },
         "", {"engine files", "kill leftovers", "delete engine.log"}, {"job"}},
    };
    for (const Row& row : rows) {
        FakeSystem s;
        TunnelRequest request = systemRequest();
        row.setUp(s, request);
        EngineState state;
        const std::string message = startTunnel(state, request, s.ops());
        if (row.message.empty()) {
            EXPECT_EQ(message.rfind("Ключ с сервера не разобран: ", 0), 0u) << row.what << ": " << message;
        } else {
            EXPECT_EQ(message, row.message) << row.what;
        }
        for (const std::string& e : row.before) EXPECT_TRUE(s.happened(e)) << row.what << " lacks " << e;
        for (const std::string& e : row.never) EXPECT_FALSE(s.happened(e)) << row.what << " did " << e;
        EXPECT_EQ(s.count("launch"), 0) << row.what;
        EXPECT_FALSE(state.running) << row.what;
    }
}

TEST(TunnelStart, ForeignAdapterWaitPollsThenTakesALastLook) {
    FakeSystem s;
    s.foreignGoneAt = 1000 + 4000;  // goes away after 4 s
    EngineState state;
    EXPECT_EQ(startTunnel(state, systemRequest(), s.ops()), "");

    FakeSystem stays;
    stays.foreignStays = true;
    EngineState other;
    const uint64_t t0 = stays.now;
    startTunnel(other, systemRequest(), stays.ops());
    EXPECT_GE(stays.now - t0, 8000u);
    EXPECT_LT(stays.now - t0, 8000u + 150u + 1u);
}

TEST(TunnelStart, RoutesAndTheReadinessPortPerMode) {
    struct Row {
        TunnelRequest request;
        std::string xrayInbounds;  // what the document must hold, in order
        bool singBoxApps, singBoxRest;
        int readinessPort;
    };
    const Row rows[] = {
        {TunnelRequest{TunnelMode::System, {}, kServer, kGeneral}, "in-rest", false, true, 20001},
        {TunnelRequest{TunnelMode::PerApplication, {"TslGame"}, kServer, kGeneral}, "in-rest in-apps", true, true,
         20002},
        {TunnelRequest{TunnelMode::PerApplication, {"TslGame"}, kServer, ""}, "in-apps", true, false, 20001},
        {TunnelRequest{TunnelMode::PerApplication, {"TslGame"}, kServer, "not a link"}, "in-apps", true, false, 20001},
    };
    for (const Row& row : rows) {
        FakeSystem s;
        EngineState state;
        ASSERT_EQ(startTunnel(state, row.request, s.ops()), "");
        std::string inbounds;
        for (const char* tag : {"in-rest", "in-apps"}) {
            const size_t at = s.lastConfig.find(tag);
            if (at != std::string::npos) inbounds += std::string(inbounds.empty() ? "" : " ") + tag;
        }
        if (row.xrayInbounds == "in-rest in-apps") {
            EXPECT_LT(s.lastConfig.find("in-rest"), s.lastConfig.find("in-apps"));
        }
        EXPECT_EQ(inbounds, row.xrayInbounds);
        EXPECT_TRUE(s.happened("probe " + std::to_string(row.readinessPort)));
        EXPECT_EQ(s.tunConfig.find("\"apps\"") != std::string::npos, row.singBoxApps) << s.tunConfig;
        EXPECT_EQ(s.tunConfig.find("\"rest\"") != std::string::npos, row.singBoxRest) << s.tunConfig;
        EXPECT_EQ(state.serverAddress, "198.18.5.1:8443");
        EXPECT_EQ(state.serverPort, 8443u);
        EXPECT_EQ(state.interfaceIndex, 7u);
        EXPECT_EQ(state.routes.front().socksPort, row.readinessPort);
    }
}

TEST(TunnelStart, SuccessRunsTheStepsInOrder) {
    FakeSystem s;
    EngineState state;
    ASSERT_EQ(startTunnel(state, systemRequest(), s.ops()), "");
    std::vector<std::string> order;
    for (const std::string& e : s.events) {
        if (e.rfind("probe", 0) != 0) order.push_back(e);
    }
    const std::vector<std::string> expected = {
        "clear conflicts", "engine files", "kill leftovers", "delete engine.log", "job",
        "launch xray-core.exe run -c stdin: +stdin +job", "write tun.json",
        "launch sing-box.exe run -c \"C:\\Data\\engine\\tun.json\" -D \"C:\\Data\\engine\" +job", "dns",
        "health thread"};
    EXPECT_EQ(order, expected);
    EXPECT_TRUE(state.running);
    EXPECT_FALSE(state.stopRequested);
    EXPECT_EQ(state.lastOkTick, s.now);

    stopTunnel(state, s.ops());
    const std::vector<std::string> tail(s.events.end() - 4, s.events.end());
    EXPECT_EQ(tail, (std::vector<std::string>{"join health 3000", "stop 21 6000", "stop 10 500", "delete tun.json"}));
    EXPECT_FALSE(state.running || state.job || state.xrayProcess || state.singBoxProcess || state.healthThread);
    EXPECT_EQ(state.latencyMs, -1);
    stopTunnel(state, s.ops());  // safe again
}

TEST(TunnelStart, EngineFailuresStopEverything) {
    struct Row {
        const char* what;
        std::function<void(FakeSystem&)> setUp;
        std::string message;
        int singBoxLaunches;
        int retryLines;
        uint64_t minElapsed, maxElapsed;
    };
    const Row rows[] = {
        {"xray cannot start", [](FakeSystem& s) { s.xrayLaunches = false; }, "Ядро xray не запустилось. [Error] bad config", 0, 0, 0,
         10},
        {"xray never ready", [](FakeSystem& s) { s.xrayNeverReady = true; },
         "Ядро xray не запустилось. [Error] bad config", 0, 0, 6000, 6200},
        {"xray exiting after it opened its port", [](FakeSystem& s) { s.xrayExitsAtOnce = true; s.xrayReadyAfter = 30; },
         "Ядро xray не запустилось. [Error] bad config", 0, 0, 0, kLocalPortPollMs + 10},
        {"sing-box exits four times", [](FakeSystem& s) { s.singBoxAttempts = {"exit"}; },
         "Туннельный адаптер не поднялся. [Error] bad config", 4, 3, 3 * 2000, 3 * 2000 + 100},
        {"sing-box never brings its adapter up", [](FakeSystem& s) { s.singBoxAttempts = {"never"}; },
         "Туннельный адаптер не поднялся. [Error] bad config", 1, 0, 25000, 25200},
        {"sing-box cannot start", [](FakeSystem& s) { s.singBoxAttempts = {"nolaunch"}; },
         "Туннельный адаптер не поднялся. [Error] bad config", 1, 0, 0, 50},
        {"the health thread cannot start", [](FakeSystem& s) { s.healthThreadFails = true; },
         kMsgHealthThreadFailed, 1, 0, 0, 400},
    };
    for (const Row& row : rows) {
        FakeSystem s;
        s.log = "started\n[Error] bad config\n";
        row.setUp(s);
        EngineState state;
        const uint64_t t0 = s.now;
        EXPECT_EQ(startTunnel(state, systemRequest(), s.ops()), row.message) << row.what;
        EXPECT_EQ(s.singBoxLaunches, row.singBoxLaunches) << row.what;
        EXPECT_EQ(s.count("log tunnel adapter did not come up, retrying: [Error] bad config"), row.retryLines)
            << row.what;
        EXPECT_GE(s.now - t0, row.minElapsed) << row.what;
        EXPECT_LE(s.now - t0, row.maxElapsed) << row.what;
        EXPECT_FALSE(state.running || state.job || state.xrayProcess || state.singBoxProcess || state.healthThread)
            << row.what;
        EXPECT_TRUE(s.happened("delete tun.json")) << row.what;
        EXPECT_FALSE(s.happened("health thread")) << row.what;
    }
}

TEST(TunnelStart, SingBoxExitingThreeTimesThenUpSucceeds) {
    FakeSystem s;
    s.singBoxAttempts = {"exit", "exit", "exit", "up"};
    EngineState state;
    ASSERT_EQ(startTunnel(state, systemRequest(), s.ops()), "");
    EXPECT_EQ(s.singBoxLaunches, 4);
    EXPECT_EQ(s.count("log tunnel adapter did not come up, retrying: "), 3);
    EXPECT_EQ(s.count("stop 2"), 3);  // each failed attempt stopped with the short grace
    EXPECT_TRUE(s.happened("stop 21 500"));
    EXPECT_TRUE(state.running);
}

TEST(EngineLog, ReasonFromTheTail) {
    const std::string esc = "\x1b";
    const auto red = [&](const std::string& level) { return esc + "[31m" + level + esc + "[0m"; };
    const std::string xray = "Xray 25.12.8 (Xray, Penetrates Everything.) Custom (go1.25.5 windows/amd64)\n"
                             "A unified platform for anti-censorship.\n";
    const std::string stamp = "2025/12/08 13:35:16.123456 ";
    const std::string realityKey = "main: failed to load config files: [stdin:] > infra/conf: failed to build outbound "
                                   "config with tag rest > infra/conf: Failed to build REALITY config. > infra/conf: "
                                   "invalid \"publicKey\": abc";
    const std::string busyPort =
        "Failed to start: app/proxyman/inbound: failed to listen TCP on 11080 > transport/internet: failed to listen "
        "on address: 127.0.0.1:11080 > transport/internet/tcp: failed to listen TCP on 127.0.0.1:11080 > listen tcp "
        "127.0.0.1:11080: bind: Only one usage of each socket address (protocol/network address/port) is normally "
        "permitted.";
    struct Row {
        std::string log, reason;
    };
    const Row rows[] = {
        {"", ""},
        {"all fine\nstarted\n", ""},
        {"x received real certificate y\n[Error] later\n",
         "Сервер ответил обычным сайтом вместо Reality: ключ на сервере не подходит."},
        {"Received Real Certificate\n", ""},  // exact case only
        {"[error] first\nFATAL: second\nok\n", "FATAL: second"},
        {esc + "[31m[ERROR]" + esc + "[0m failed to listen\r\n", "[ERROR] failed to listen"},
        {"a [eRRor] b\r\r\n", "a [eRRor] b"},
        {"error without brackets\n", ""},
        {"[Error] " + std::string(300, 'x'), "[Error] " + std::string(212, 'x')},
        {"[Error] unfinished " + esc + "[3", "[Error] unfinished "},
        // The engines' own failure texts: xray prints its version, then one unprefixed line.
        {xray + "Failed to start: " + realityKey + "\n", "Failed to start: " + realityKey},
        {xray + busyPort + "\n", busyPort.substr(0, 220)},
        {red("FATAL") + "[0000] decode config at C:\\e\\tun.json: inbounds[0]: json: unknown field \"gso\"\n",
         "FATAL[0000] decode config at C:\\e\\tun.json: inbounds[0]: json: unknown field \"gso\""},
        {red("FATAL") + "[0001] start service: start inbound/tun[tun-in]: configure tun interface: Access is denied.\n",
         "FATAL[0001] start service: start inbound/tun[tun-in]: configure tun interface: Access is denied."},
        {red("ERROR") + "[0012] inbound/tun[tun-in]: connection reset\n", "ERROR[0012] inbound/tun[tun-in]: connection reset"},
        {"panic: runtime error\n\ngoroutine 1 [running]:\nmain.main()\n", "panic: runtime error"},
        // Access lines (a destination may be named "fatal...") never give the reason, whole or cut.
        {stamp + "[Error] dns: failed\r\n" + stamp + "from 127.0.0.1:50000 accepted tcp:fatal.example:443 [in-rest >> rest]\r\n" +
             stamp + "127.0.0.1:50001 rejected  proxy/socks: fatal read\r\n",
         stamp + "[Error] dns: failed"},
        {"tal-error.example:443 [in-apps >> apps] email: fatal\r\n", ""},
        // xray 25.x's only trace of a mismatch: its fall-back to the decoy site.
        {"REALITY localAddr: 127.0.0.1:50000\tDialTLSContext\n", kMsgRealityMismatch},
    };
    for (const Row& row : rows) EXPECT_EQ(engineLogReason(row.log), row.reason) << row.log;
}

TEST(HealthProbe, UpdatesLatencyAndEndsOnStop) {
    uint64_t now = 1000;
    EngineState state;
    state.serverIp = "198.18.5.1";
    state.serverPort = 8443;
    state.interfaceIndex = 7;
    int probes = 0;
    NetworkOps network;
    network.probeTcp = [&](const std::string& address, uint16_t port, uint32_t index, uint32_t timeoutMs) {
        EXPECT_EQ(address, "198.18.5.1");
        EXPECT_EQ(port, 8443);
        EXPECT_EQ(index, 7u);
        EXPECT_EQ(timeoutMs, 2000u);
        ++probes;
        return probes == 2 ? -1 : 30 + probes;
    };
    std::vector<uint64_t> okTicks;
    Clock clock;
    clock.nowMs = [&] { return now; };
    clock.sleepMs = [&](uint32_t ms) {
        now += ms;
        okTicks.push_back(state.lastOkTick);
        if (probes == 3 && now % 2000 == 500) state.stopRequested = true;  // mid-pause
    };
    healthProbeLoop(state, clock, network);
    EXPECT_EQ(probes, 3);
    EXPECT_EQ(state.latencyMs, 33);
    // The failed second probe left lastOkTick where the first one set it.
    EXPECT_EQ(okTicks[20], okTicks[39]);
    EXPECT_EQ(okTicks.back(), 1000u + 4000u);
}

TEST(LivenessCheck, TwoFailuresInARowFailOffEndsItStopEndsThePause) {
    struct Row {
        const char* name;
        std::vector<FetchOutcome> answers;  // one per fetch, in order; then the stop
        Liveness after;                     // when the script ran out
        std::vector<uint64_t> fetchAt;      // ms after the start
        int logs;
    };
    const FetchOutcome ok = FetchOutcome::Ok, fail = FetchOutcome::Failed, off = FetchOutcome::NotOffered;
    // An hour of good pages (241 checks, 15 s apart), then the next one a minute later.
    std::vector<uint64_t> hourAt;
    for (uint64_t k = 0; k <= 240; ++k) hourAt.push_back(2000 + 15000 * k);
    hourAt.push_back(hourAt.back() + 60000);
    const Row rows[] = {
        {"an hour of good pages slows to one a minute", std::vector<FetchOutcome>(hourAt.size(), ok), Liveness::Ok,
         hourAt, 0},
        {"good page every 15 s", {ok, ok}, Liveness::Ok, {2000, 17000}, 0},
        {"one failure, then the retry answers", {fail, ok}, Liveness::Ok, {2000, 2000}, 1},
        {"two failures in a row", {fail, fail}, Liveness::Failed, {2000, 2000}, 2},
        {"failed, then good again", {fail, fail, ok}, Liveness::Ok, {2000, 2000, 17000}, 2},
        {"not offered turns it off", {off}, Liveness::Off, {2000}, 1},
        {"not offered on the retry", {fail, off}, Liveness::Off, {2000, 2000}, 2},
        {"stopped within the first pause", {}, Liveness::Unchecked, {}, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        uint64_t now = 0;
        EngineState state;
        state.routes = {{"rest", 10808}, {"apps", 10809}};
        std::vector<uint64_t> fetchAt;
        std::vector<Liveness> seen;
        NetworkOps network;
        network.fetchThroughSocks = [&](uint16_t socksPort, const std::string& host, uint16_t port,
                                        const std::string& path, const FetchLimits& limits,
                                        const std::function<bool()>& stop) {
            EXPECT_EQ(socksPort, 10808);
            EXPECT_EQ(host + ":" + std::to_string(port) + path, "svc.test:80/api/v1/ping");
            EXPECT_EQ(limits.wantBodyBytes, 65536u);
            EXPECT_EQ(limits.timeoutMs, 8000u);
            EXPECT_FALSE(stop());
            FetchResult r;
            r.outcome = row.answers[fetchAt.size()];
            r.status = r.outcome == FetchOutcome::NotOffered ? 404 : 200;
            fetchAt.push_back(now);
            seen.push_back(state.liveness);
            return r;
        };
        Clock clock;
        clock.nowMs = [&] { return now; };
        clock.sleepMs = [&](uint32_t ms) {
            now += ms;
            // The stop comes 500 ms into the pause after the last scripted answer.
            const uint64_t last = fetchAt.empty() ? 0 : fetchAt.back();
            if (fetchAt.size() == row.answers.size() && now >= last + 500) {
                EXPECT_EQ(state.liveness, row.after);
                state.stopRequested = true;
            }
        };
        std::vector<std::string> logs;
        livenessLoop(state, clock, network, [&](const std::string& line) { logs.push_back(line); }, "svc.test");
        EXPECT_EQ(fetchAt, row.fetchAt);
        EXPECT_EQ(state.liveness, row.after);
        EXPECT_EQ(logs.size(), static_cast<size_t>(row.logs));
        EXPECT_LE(now, (fetchAt.empty() ? 0 : fetchAt.back()) + 500);  // the stop ends the pause within a step
        if (row.after == Liveness::Off) {
            EXPECT_EQ(logs.back(), "liveness check off until the next connect: the service answered 404 to /api/v1/ping");
        }
    }
}

}  // namespace
