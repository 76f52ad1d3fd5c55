#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "tests/native/connect_fakes.h"

using vlm_test::ConnectRig;
using vlm_test::serverLink;

namespace {

const char* const kAlertWg =
    "Вы запустили VPN-программу «wg». VELMORANTE отключился: он не работает одновременно с VPN. Закройте её и "
    "подключитесь снова.";

bool logged(const ConnectRig& r, const std::string& line) {
    return std::find(r.logs.begin(), r.logs.end(), line) != r.logs.end();
}

TEST(MonitorLoop, SilentServerSwitchesPastSevenSecondsWithTwoServers) {
    struct Row {
        std::vector<std::string> servers;
        uint64_t silenceMs;  // since the last good probe, when the pass looks
        bool switches;
        bool realityMismatch = false;  // the engine log shows one
    };
    const Row rows[] = {
        {{"a.test:443", "b.test:443"}, 7000, false},
        {{"a.test:443", "b.test:443"}, 7001, true},
        {{"a.test:443", "b.test:443", "c.test:443"}, 7500, true},
        {{"a.test:443"}, 7500, false},
        {{"a.test:443", "b.test:443"}, 7001, true, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::to_string(row.servers.size()) + " servers, " + std::to_string(row.silenceMs) + " ms");
        ConnectRig r;
        r.startRunning(row.servers);
        r.c.engine.lastOkTick = r.nowMs + kMonitorPassMs - row.silenceMs;
        if (row.realityMismatch) r.engineLogReason = kMsgRealityMismatch;
        r.runPasses(1);
        EXPECT_EQ(logged(r, "server a.test:443 answered with its decoy site: REALITY mismatch"), row.realityMismatch);
        EXPECT_EQ(logged(r, "server a.test:443 stopped answering, switching"), row.switches);
        EXPECT_EQ(r.stops, row.switches ? 1 : 0);
        EXPECT_EQ(r.started.size(), row.switches ? 2u : 1u);
        EXPECT_EQ(r.c.phase, TunnelPhase::Running);
        const auto& seen = r.notes.statuses;
        const std::string switchText =
            row.realityMismatch ? kMsgRealityMismatch : "Сервер перестал отвечать, переключаюсь на другой…";
        EXPECT_EQ(std::count(seen.begin(), seen.end(), switchText), row.switches ? 1 : 0);
    }
    // Counted from the start: 28 passes make exactly 7000 ms, the 29th is the first past it.
    ConnectRig r;
    r.startRunning({"a.test:443", "b.test:443"});
    EXPECT_EQ(r.runPasses(40, [&] { return r.stops > 0; }), 29);
}

TEST(MonitorLoop, NoTrafficSwitchesWhileTheProbeAnswersAndIsPassedOverFiveMinutes) {
    struct Row {
        std::vector<std::string> servers;
        Liveness liveness;
        uint64_t silenceMs;  // since the last good probe
        const char* logLine;  // written once, or nullptr
        bool switches;
        bool probeSinceFailure = true;  // a probe answered after the check's second try began
    };
    const char* const kSwitch = "server a.test:443 carries no traffic, switching";
    const char* const kAlone = "server a.test:443 carries no traffic; it is the only server, staying connected";
    const char* const kSilent = "server a.test:443 stopped answering, switching";
    const Row rows[] = {
        {{"a.test:443", "b.test:443"}, Liveness::Failed, 0, kSwitch, true},
        {{"a.test:443", "b.test:443"}, Liveness::Ok, 0, nullptr, false},
        {{"a.test:443", "b.test:443"}, Liveness::Off, 0, nullptr, false},
        {{"a.test:443"}, Liveness::Failed, 0, kAlone, false},
        // Silent as well: the silence switch runs, and the server is not passed over later.
        {{"a.test:443", "b.test:443"}, Liveness::Failed, 7500, kSilent, true},
        // No probe has answered since the second try began: nothing yet.
        {{"a.test:443", "b.test:443"}, Liveness::Failed, 3000, nullptr, false, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::to_string(row.servers.size()) + " servers, silence " + std::to_string(row.silenceMs));
        ConnectRig r;
        r.startRunning(row.servers);
        r.c.engine.liveness = row.liveness;
        r.c.engine.lastOkTick = r.nowMs + kMonitorPassMs - row.silenceMs;
        r.c.engine.livenessRetryTick = r.c.engine.lastOkTick + (row.probeSinceFailure ? -1 : 1);
        r.runPasses(3, [&] { return r.stops > 0; });
        for (const char* line : {kSwitch, kAlone, kSilent}) {
            EXPECT_EQ(std::count(r.logs.begin(), r.logs.end(), line), row.logLine == line ? 1 : 0) << line;
        }
        EXPECT_EQ(r.stops, row.switches ? 1 : 0);
        ASSERT_EQ(r.started.size(), row.switches ? 2u : 1u);
        const auto& seen = r.notes.statuses;
        EXPECT_EQ(std::count(seen.begin(), seen.end(), "Сервер перестал отвечать, переключаюсь на другой…"),
                  row.switches ? 1 : 0);
        // Both answer in 20 ms: a wins on its place in the list unless it is passed over.
        if (row.switches) {
            EXPECT_EQ(r.started.back().primaryLink, serverLink(row.logLine == kSwitch ? "b.test:443" : "a.test:443"));
        }
    }
    // Passed over for 5 minutes while another answers; when every answering server is passed
    // over, the fastest is taken; afterwards a is chosen again.
    ConnectRig r;
    r.startRunning({"a.test:443", "b.test:443"});
    r.c.engine.liveness = Liveness::Failed;
    r.runPasses(1);
    const uint64_t switchedAt = r.nowMs;
    r.nowMs = switchedAt + kNoTrafficSkipMs - 1000;
    r.c.reconnect("again");
    EXPECT_EQ(r.started.back().primaryLink, serverLink("b.test:443"));
    r.probeScript["198.18.0.2"] = {-1, -1, -1};
    r.c.reconnect("again");
    EXPECT_EQ(r.started.back().primaryLink, serverLink("a.test:443"));  // b does not answer
    r.nowMs = switchedAt + kNoTrafficSkipMs + 1000;
    r.c.reconnect("again");
    EXPECT_EQ(r.started.back().primaryLink, serverLink("a.test:443"));
    EXPECT_EQ(std::count(r.logs.begin(), r.logs.end(), "server a.test passed over: it carried no traffic a short while ago"), 3);
}

TEST(MonitorLoop, EngineEndNamesAConflictOrTheLogReason) {
    struct Row {
        std::deque<std::string> conflicts;
        const char* reason;
        const char* status;
        int scans;
        uint64_t elapsedMs;  // the pass's pause and 250 ms after each empty answer
    };
    const Row rows[] = {
        {{}, "xray: connection reset", "Туннель неожиданно остановился. xray: connection reset", 8, 250 + 8 * 250},
        {{}, "", "Туннель неожиданно остановился. ", 8, 2250},
        {{"", "", "wg"}, "ignored", "Отключено: запущена программа «wg».", 3, 250 + 2 * 250},
        {{"", "", "", "", "", "", "", "wg"}, "", "Отключено: запущена программа «wg».", 8, 250 + 7 * 250},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.status);
        ConnectRig r;
        r.startRunning({"a.test:443"});
        r.enginesAlive = false;
        r.conflictScript = row.conflicts;
        r.engineLogReason = row.reason;
        const uint64_t start = r.nowMs;
        r.runPasses(1);
        const bool conflict = !row.conflicts.empty();
        EXPECT_EQ(r.c.phase, TunnelPhase::Idle);
        EXPECT_EQ(r.c.status, row.status);
        EXPECT_TRUE(r.c.error);
        EXPECT_EQ(r.conflictScans, row.scans);
        EXPECT_EQ(r.nowMs - start, row.elapsedMs);
        EXPECT_EQ(r.c.alert, conflict ? kAlertWg : "");
        EXPECT_EQ(r.c.attentionRequested, conflict);
        EXPECT_EQ(r.c.wantConnected.load(), !conflict);  // a dead engine alone keeps the user's wish
        EXPECT_EQ(logged(r, "conflicting program detected while connected: wg"), conflict);
        r.runPasses(120);
        EXPECT_EQ(r.started.size(), 1u);  // never restarted in place, no retry
    }
}

TEST(MonitorLoop, ConflictScanEverySecondEndsTheTunnelWithoutRetry) {
    ConnectRig r;
    r.startRunning({"a.test:443"});
    r.runPasses(8);  // scans at 250 ms and 1250 ms, none at the passes between
    EXPECT_EQ(r.conflictScans, 2);
    r.conflictScript = {"wg"};
    EXPECT_EQ(r.runPasses(8, [&] { return r.conflictScans == 3; }), 1);  // due at 2250 ms
    EXPECT_EQ(r.c.phase, TunnelPhase::Idle);
    EXPECT_EQ(r.c.status, "Отключено: запущена программа «wg».");
    EXPECT_TRUE(r.c.error);
    EXPECT_EQ(r.c.alert, kAlertWg);
    EXPECT_TRUE(r.c.attentionRequested);
    EXPECT_EQ(r.notes.withLockHeld, 0);
    EXPECT_FALSE(r.c.wantConnected);
    EXPECT_EQ(r.c.retryAt.load(), 0u);
    r.runPasses(120);
    EXPECT_EQ(r.started.size(), 1u);
}

TEST(MonitorLoop, RetryOnTheFirstPassAtOrAfterTheTick) {
    struct Row {
        const char* name;
        bool toggleOff;  // the user disconnects while the retry waits
        int connectsAtPass;  // 0: none within 100 passes
    };
    const Row rows[] = {{"retry due", false, 80}, {"toggle cleared it", true, 0}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ConnectRig r;
        r.probeDefault = -1;
        r.startRunning({"a.test:443", "b.test:443"});
        ASSERT_EQ(r.c.status, "Серверы не отвечают. Повторю попытку через 20 секунд.");
        r.probeDefault = 20;
        if (row.toggleOff) {
            r.c.startDisconnect();
            r.workers.runAll();
        }
        const int passes = r.runPasses(100, [&] { return !r.started.empty(); });
        EXPECT_EQ(r.started.empty() ? 0 : passes, row.connectsAtPass);  // 80 × 250 ms = 20 000 ms
        EXPECT_EQ(r.c.retryAt.load(), 0u);
    }
}

TEST(MonitorLoop, NewDocumentReconnectsOnlyWhenRoutingChanged) {
    const std::string base = R"("servers":{"apps_list":[{"link":"vless://i@a.test:443"},{"link":"vless://i@b.test:443"}]})";
    const std::string reordered = R"("servers":{"apps_list":[{"link":"vless://i@b.test:443"},{"link":"vless://i@a.test:443"}]})";
    struct Row {
        std::string document;
        bool reconnects;
    };
    const Row rows[] = {
        {R"({"config":{"mode":"system",)" + base + "}}", false},
        {R"({"config":{"mode":"system",)" + base + R"(},"update":{"version":"1.3.0","url":"u"}})", false},
        {R"({"config":{"mode":"system",)" + reordered + "}}", true},
        {R"({"config":{"mode":"game","apps":["TslGame"],)" + base + "}}", true},
    };
    JsonValue first;
    ASSERT_TRUE(parseJson(rows[0].document, first));
    for (const Row& row : rows) {
        SCOPED_TRACE(row.document);
        ConnectRig r;
        applyProfileDocument(r.c, first);
        r.c.wantConnected = true;
        runConnect(r.c);
        ASSERT_EQ(r.c.phase, TunnelPhase::Running);
        r.runPasses(1);  // nothing new: nothing happens
        const int notified = r.notes.count;
        JsonValue next;
        ASSERT_TRUE(parseJson(row.document, next));
        offerDocument(r.documents, next);
        r.runPasses(1);
        EXPECT_EQ(r.notes.count - notified, row.reconnects ? 5 : 1);  // stopping, stopped, connecting, up, intake
        EXPECT_EQ(r.stops, row.reconnects ? 1 : 0);
        EXPECT_EQ(r.c.phase, TunnelPhase::Running);
        EXPECT_FALSE(profileChanged(r.c.profile, r.c.activeProfile));
    }
}

TEST(MonitorLoop, EndsWithinOnePassOfTheStopFlag) {
    struct Row {
        int raiseAtSleep;  // 0: raised before the loop starts
        uint64_t sleptMs;
    };
    const Row rows[] = {{0, 0}, {1, 250}, {3, 750}};
    for (const Row& row : rows) {
        ConnectRig r;
        int sleeps = 0;
        r.onSleep = [&] {
            if (++sleeps == row.raiseAtSleep) r.c.stopFlag = true;
        };
        r.c.stopFlag = row.raiseAtSleep == 0;
        EXPECT_EQ(monitorLoop(r.c, r.source), 0u);
        EXPECT_EQ(r.sleptMs, row.sleptMs);
    }
}

// Toggles from the user-interface thread race the monitor's server switches (every pass finds the
// server silent): the connect procedure and the stop never run twice at once.
TEST(MonitorThreads, TogglesRacingReconnectsNeverOverlap) {
    vlm_test::RacingRig r;
    std::atomic<bool> monitorDone{false};
    std::thread monitor([&] {
        monitorLoop(r.c, r.source);
        monitorDone = true;
    });
    // The page's toggle: connect from idle, stop when running; until enough tunnels have come and
    // gone, however the platform schedules the threads (bounded by the clock).
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    for (int toggle = 0; (toggle < 2000 || r.starts.load() <= 10) && std::chrono::steady_clock::now() < deadline;
         ++toggle) {
        const TunnelPhase phase = r.c.readPhase();
        if (phase == TunnelPhase::Idle) r.c.startConnect();
        if (phase == TunnelPhase::Running) r.c.startDisconnect();
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    r.c.stopFlag = true;
    const bool ended = vlm_test::waitFor([&] { return monitorDone.load() && r.workers.load() == 0; });
    if (ended) monitor.join();
    else monitor.detach();  // never reached in a passing run; the failure below reports it
    ASSERT_TRUE(ended);
    EXPECT_GT(r.starts.load(), 10);
    EXPECT_EQ(r.startsMax.load(), 1);
    EXPECT_EQ(r.stopsMax.load(), 1);
}

}  // namespace
