#include <gtest/gtest.h>

#include "tests/native/connect_fakes.h"

using vlm_test::ConnectRig;
using vlm_test::serverLink;

namespace {

const std::string A = serverLink("a.test:443"), B = serverLink("b.test:8443");
const char* const kSelecting = "Выбираю самый быстрый сервер…";
const char* const kConnecting = "Подключаюсь…";
const char* const kNoAnswer = "Серверы не отвечают. Повторю попытку через 20 секунд.";
const char* const kSystemUp = "Подключено. Весь ПК идёт через сервер.";

TEST(ConnectProcedure, ServerSelectionAndOutcome) {
    struct Row {
        const char* name;
        std::vector<std::string> servers;
        bool adapter;
        std::deque<int32_t> a, b;  // probe results of a.test and b.test, then 20 ms
        const char* startFailure;
        const char* started;  // primaryLink given to the tunnel start; nullptr: not started
        std::vector<std::string> logs;
        std::vector<std::string> statuses;  // at each notification
        size_t probes;
    };
    const Row rows[] = {
        {"one server: no probe", {A}, true, {}, {}, "", A.c_str(), {}, {kConnecting, kSystemUp}, 0},
        {"no server", {}, true, {}, {}, "Сервер не задан.", "", {}, {kConnecting, "Сервер не задан."}, 0},
        {"40 and 40: the first wins", {A, B}, true, {40, 40, 40}, {40, 40, 40}, "", A.c_str(),
         {"server a.test: 40 ms", "server b.test: 40 ms"}, {kSelecting, kSystemUp}, 6},
        {"two failures then 55", {A, B}, true, {60, 60, 60}, {-1, -1, 55}, "", B.c_str(),
         {"server a.test: 60 ms", "server b.test: 55 ms"}, {kSelecting, kSystemUp}, 6},
        {"best of three", {A, B}, true, {90, 30, 70}, {35, 35, 35}, "", A.c_str(),
         {"server a.test: 30 ms", "server b.test: 35 ms"}, {kSelecting, kSystemUp}, 6},
        {"all unreachable", {A, B}, true, {-1, -1, -1}, {-1, -1, -1}, "", nullptr,
         {"server a.test: unreachable", "server b.test: unreachable"}, {kSelecting, kNoAnswer}, 6},
        {"a link that does not parse is skipped", {"vless://no-host", B}, true, {}, {}, "", B.c_str(),
         {"server b.test: 20 ms"}, {kSelecting, kSystemUp}, 3},
        {"no Internet adapter: the first, unprobed", {A, B}, false, {}, {}, "", A.c_str(), {}, {kSelecting, kSystemUp}, 0},
        {"tunnel start fails", {A}, true, {}, {}, "Движок не запустился.", A.c_str(), {},
         {kConnecting, "Движок не запустился."}, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ConnectRig r;
        r.setProfile(row.servers);
        r.adapterFound = row.adapter;
        r.probeScript["198.18.0.1"] = row.a;
        r.probeScript["198.18.0.2"] = row.b;
        r.startFailure = row.startFailure;
        r.c.alert = "старое предупреждение";
        r.c.retryAt = 5;
        runConnect(r.c);

        EXPECT_EQ(r.logs, row.logs);
        EXPECT_EQ(r.notes.statuses, row.statuses);
        EXPECT_EQ(r.notes.phases.front(), TunnelPhase::Connecting);
        EXPECT_EQ(r.probes.size(), row.probes);
        for (const std::string& p : r.probes) EXPECT_TRUE(p == "198.18.0.1:443" || p == "198.18.0.2:8443") << p;
        EXPECT_EQ(r.badProbeArguments, 0);
        EXPECT_EQ(r.underLock + r.notes.withLockHeld, 0);
        EXPECT_EQ(r.c.alert, "");
        const bool up = row.started && !*row.startFailure;
        EXPECT_EQ(r.c.phase, up ? TunnelPhase::Running : TunnelPhase::Idle);
        EXPECT_EQ(r.c.status, row.statuses.back());
        EXPECT_EQ(r.c.error, !up);
        EXPECT_EQ(r.c.retryAt.load(), row.started ? 0u : r.nowMs + 20000);
        ASSERT_EQ(r.started.size(), row.started ? 1u : 0u);
        if (!row.started) continue;
        EXPECT_EQ(r.started[0].primaryLink, row.started);
        if (up) {
            EXPECT_EQ(r.c.activeProfile.primaryLink, row.started);
            EXPECT_EQ(r.c.activeProfile.servers, row.servers);
        }
        EXPECT_EQ(r.c.profile.primaryLink, row.servers.empty() ? "" : row.servers.front());
    }
}

// All servers are probed at once, three rounds: ten servers of which three never answer take
// three probe time-outs, not nine; a disconnect during the rounds ends the choice after its round.
TEST(ConnectProcedure, SelectionTakesAsLongAsTheSlowestServerAndYieldsToAStop) {
    struct Row {
        const char* name;
        int stopAfterRound;  // 0: never
        uint64_t elapsedMs;
        size_t probes, logs;
        TunnelPhase phase;
        const char* status;
    };
    const Row rows[] = {
        {"ten servers, three silent", 0, 4500, 30, 10, TunnelPhase::Running, kSystemUp},
        {"a disconnect after the first round", 1, 1500, 10, 0, TunnelPhase::Idle, "Отключено."},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ConnectRig r;
        std::vector<std::string> servers;
        for (int i = 0; i < 10; ++i) {
            const std::string host = "s" + std::to_string(i) + ".test";
            r.addresses[host] = "198.18.1." + std::to_string(i);
            if (i % 3 == 1) r.probeScript[r.addresses[host]] = {-1, -1, -1};
            else r.probeScript[r.addresses[host]] = {int32_t(90 - i), 50, int32_t(40 + i)};
            servers.push_back(serverLink(host + ":443"));
        }
        r.setProfile(servers);
        int rounds = 0;
        r.onProbeRound = [&] {
            if (++rounds != row.stopAfterRound) return;
            std::lock_guard<std::mutex> hold(r.c.lock);
            r.c.phase = TunnelPhase::Idle;
            r.c.status = "Отключено.";
        };
        const uint64_t t0 = r.nowMs;
        runConnect(r.c);
        EXPECT_EQ(r.nowMs - t0, row.elapsedMs);
        EXPECT_EQ(r.probes.size(), row.probes);
        ASSERT_EQ(r.logs.size(), row.logs);
        if (row.logs) {
            EXPECT_EQ(r.logs[1], "server s1.test: unreachable");
            EXPECT_EQ(r.logs[9], "server s9.test: 49 ms");
        }
        EXPECT_EQ(r.c.phase, row.phase);
        EXPECT_EQ(r.c.status, row.status);
        EXPECT_EQ(r.started.size(), row.phase == TunnelPhase::Running ? 1u : 0u);
        if (!r.started.empty()) {
            EXPECT_EQ(r.started[0].primaryLink, servers[0]);
        }
    }
}

TEST(ConnectProcedure, RefusesUnlessIdleWithAProfileAndNoMandatoryUpdate) {
    struct Row {
        TunnelPhase phase;
        bool ready, mandatory;
        const char* version;
        bool starts;
        const char* status;  // after the refusal
        int notifications;
    };
    const Row rows[] = {
        {TunnelPhase::Connecting, true, false, "", false, "было", 0},
        {TunnelPhase::Running, true, false, "", false, "было", 0},
        {TunnelPhase::Idle, false, false, "", false, "было", 0},
        {TunnelPhase::Idle, true, true, "1.3.0", false, "Сначала установите обновление 1.3.0.", 1},
        {TunnelPhase::Idle, true, true, "", true, "", 2},  // a mandatory offer without a version blocks nothing
        {TunnelPhase::Idle, true, false, "1.3.0", true, "", 2},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(phaseName(row.phase)) + " " + row.version);
        ConnectRig r;
        r.setProfile({A});
        r.c.profileReady = row.ready;
        r.c.phase = row.phase;
        r.c.update.mandatory = row.mandatory;
        r.c.update.version = row.version;
        r.c.status = "было";
        runConnect(r.c);
        EXPECT_EQ(r.started.size(), row.starts ? 1u : 0u);
        EXPECT_EQ(r.notes.count, row.notifications);
        if (row.starts) continue;
        EXPECT_EQ(r.c.phase, row.phase);
        EXPECT_EQ(r.c.status, row.status);
        EXPECT_EQ(r.c.error, row.notifications > 0);
    }
}

TEST(ConnectProcedure, ConnectedText) {
    struct Row {
        TunnelMode mode;
        std::vector<std::string> apps;
        const char* general;
        const char* text;
    };
    const auto Game = TunnelMode::PerApplication;
    const Row rows[] = {
        {TunnelMode::System, {"TslGame"}, "R", kSystemUp},
        {Game, {"TslGame", "dota2"}, "R", "Подключено. PUBG, dota2 идут через игровой сервер, остальное через общий."},
        {Game, {"tslgame", "TslGame.exe"}, "", "Подключено. tslgame, TslGame.exe идут через сервер, остальное напрямую."},
        {Game, {}, "not a link", "Подключено.  идут через игровой сервер, остальное через общий."},
    };
    for (const Row& row : rows) {
        ServiceProfile p;
        p.mode = row.mode;
        p.apps = row.apps;
        p.generalLink = row.general;
        EXPECT_EQ(connectedText(p), row.text);
    }
}

}  // namespace
