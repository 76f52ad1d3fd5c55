#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "control/controller.h"
#include "shell/bridge.h"
#include "tests/native/controller_fakes.h"

using vlm_test::NotifyProbe;
using vlm_test::QueuedWorkers;

namespace {

// The bridge with every window action recorded as one word.
struct BridgeRig {
    QueuedWorkers workers;
    NotifyProbe probe;
    std::vector<std::string> actions;
    std::vector<std::string> logs;
    bool admin = true;
    bool elevationWorks = true;
    int connects = 0;
    int updates = 0;
    TunnelController c;
    UiBridge bridge;
    BridgeRig() : c(nullptr, 1, SystemOps{}) {
        c.onChanged = probe.callback();
        probe.controller = &c;
        c.system.processes.startWorker = workers.starter();
        c.system.procedures.connect = [this](TunnelController&) { ++connects; };
        c.system.procedures.applyUpdate = [this](TunnelController&, const std::string&, const std::string&) { ++updates; };
        bridge.controller = &c;
        bridge.supportUrl = "https://support.velmorante.test/chat";
        ShellOps& o = bridge.ops;
        o.window.pushSnapshot = [this] { actions.push_back("push"); };
        o.openLink = [this](const std::string& url) { actions.push_back("open " + url); };
        o.window.minimize = [this] { actions.push_back("minimize"); };
        o.window.close = [this] { actions.push_back("close"); };
        o.window.drag = [this] { actions.push_back("drag"); };
        o.elevation.isAdministrator = [this] {
            actions.push_back("admin?");
            return admin;
        };
        o.elevation.restartElevated = [this] {
            actions.push_back("runas");
            return elevationWorks;
        };
        o.window.quit = [this] { actions.push_back("quit"); };
        o.log = [this](const std::string& line) { logs.push_back(line); };
    }
};

using Words = std::vector<std::string>;

TEST(UiBridgeMessages, CommandsAndBadInput) {
    const std::string notJson(200, 'x');
    struct Row {
        std::string text;
        Words actions;
        Words logs;
    };
    const Row rows[] = {
        {R"({"cmd":"ready"})", {"push"}, {}},
        {R"({"cmd":"support"})", {"open https://support.velmorante.test/chat"}, {}},
        {R"({"cmd":"minimize"})", {"minimize"}, {}},
        {R"({"cmd":"close"})", {"close"}, {}},
        {R"( {"text":"x","cmd":"drag"} )", {"drag"}, {}},
        {R"({"cmd":"close","cmd":"minimize"})", {"close"}, {}},
        {R"({"cmd":"jserror","text":"ReferenceError: x is not defined @12"})", {},
         {"ui script error: ReferenceError: x is not defined @12"}},
        {R"({"cmd":"jserror"})", {}, {"ui script error: "}},
        {R"({"cmd":"jserror","text":{"a":1}})", {}, {"ui script error: "}},
        {R"({"cmd":"jserror","text":"Ошибка в «странице»"})", {}, {"ui script error: Ошибка в «странице»"}},
        // Valid JSON that is no command: nothing happens and nothing is logged.
        {R"({"cmd":"Toggle"})", {}, {}},
        {R"({"cmd":"toggle "})", {}, {}},
        {R"({"cmd":"reload"})", {}, {}},
        {R"({"cmd":7})", {}, {}},
        {R"({"command":"close"})", {}, {}},
        {R"(["close"])", {}, {}},
        {R"("close")", {}, {}},
        {R"(null)", {}, {}},
        // Not JSON: the first 80 bytes go to the log.
        {notJson, {}, {"bad ui message: " + std::string(80, 'x')}},
        {"{\"cmd\":\"close\"", {}, {"bad ui message: {\"cmd\":\"close\""}},
        {"", {}, {"bad ui message: "}},
        {std::string(79, 'y') + "\xD0\x96", {}, {"bad ui message: " + std::string(79, 'y') + "\xD0"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text);
        BridgeRig r;
        handleWebMessage(r.bridge, row.text);
        EXPECT_EQ(r.actions, row.actions);
        EXPECT_EQ(r.logs, row.logs);
        EXPECT_TRUE(r.workers.queue.empty());
        EXPECT_EQ(r.probe.count, 0);
    }
}

TEST(UiBridgeMessages, ToggleProcedure) {
    struct Row {
        TunnelPhase phase;
        bool admin;
        bool elevationWorks;
        Words actions;
        int connects;
        bool disconnected;
        const char* status;
        bool error;
    };
    const Row rows[] = {
        {TunnelPhase::Idle, true, true, {"admin?"}, 1, false, "Готов.", false},
        {TunnelPhase::Idle, false, true, {"admin?", "runas", "quit"}, 0, false, "Готов.", false},
        {TunnelPhase::Idle, false, false, {"admin?", "runas"}, 0, false, "Для туннеля нужны права администратора.", true},
        {TunnelPhase::Running, true, true, {}, 0, true, "Отключено.", false},
        {TunnelPhase::Running, false, false, {}, 0, true, "Отключено.", false},
        {TunnelPhase::Connecting, true, true, {}, 0, false, "Готов.", false},
        {TunnelPhase::Stopping, true, true, {}, 0, false, "Готов.", false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(phaseName(row.phase)) + (row.admin ? " admin" : " user") +
                     (row.elevationWorks ? "" : " refused"));
        BridgeRig r;
        r.admin = row.admin;
        r.elevationWorks = row.elevationWorks;
        r.c.phase = row.phase;
        r.c.wantConnected = row.phase == TunnelPhase::Running;
        handleWebMessage(r.bridge, R"({"cmd":"toggle"})");
        EXPECT_EQ(r.actions, row.actions);
        EXPECT_EQ(r.c.wantConnected.load(), row.connects == 1);
        r.workers.runAll();
        EXPECT_EQ(r.connects, row.connects);
        EXPECT_EQ(r.c.phase == TunnelPhase::Idle && row.phase == TunnelPhase::Running, row.disconnected);
        EXPECT_EQ(r.c.status, row.status);
        EXPECT_EQ(r.c.error, row.error);
        EXPECT_EQ(r.probe.withLockHeld, 0);
    }
    // Without a controller the toggle does nothing at all.
    BridgeRig r;
    r.bridge.controller = nullptr;
    for (const char* cmd : {"toggle", "update", "dismiss"}) {
        handleWebMessage(r.bridge, std::string(R"({"cmd":")") + cmd + "\"}");
    }
    EXPECT_TRUE(r.actions.empty());
}

TEST(UiBridgeMessages, UpdateAndDismissReachTheController) {
    BridgeRig r;
    r.c.alert = "Вы запустили VPN-программу «X».";
    handleWebMessage(r.bridge, R"({"cmd":"dismiss"})");
    EXPECT_EQ(r.c.alert, "");
    EXPECT_EQ(r.probe.count, 1);

    handleWebMessage(r.bridge, R"({"cmd":"update"})");  // no offer
    EXPECT_EQ(r.c.update.progress, -1);
    r.c.update.version = "1.3.0";
    r.c.update.url = "https://dl.velmorante.test/v.exe";
    handleWebMessage(r.bridge, R"({"cmd":"update"})");
    handleWebMessage(r.bridge, R"({"cmd":"update"})");
    EXPECT_EQ(r.c.update.progress, 0);
    r.workers.runAll();
    EXPECT_EQ(r.updates, 1);
}

TEST(UiSnapshotBuild, ServerFromLink) {
    const std::pair<const char*, const char*> rows[] = {
        {"vless://uuid@de1.example.test:443?type=tcp&security=reality#Германия", "de1.example.test:443"},
        {"vless://uuid@de1.example.test:443#name", "de1.example.test:443"},
        {"vless://uuid@de1.example.test:443/path", "de1.example.test:443"},
        {"vless://uuid@[2001:db8::1]:8443", "[2001:db8::1]:8443"},
        {"vless://a@b@c:1?x", "b@c:1"},
        {"vless://uuid@", ""},
        {"vless://uuid@?x", ""},
        {"vless://de1.example.test:443", ""},
        {"", ""},
    };
    for (const auto& [link, server] : rows) EXPECT_EQ(serverFromLink(link), server) << link;
    EXPECT_EQ(appDisplayName("TslGame"), "PUBG");
    EXPECT_EQ(appDisplayName("tslgame"), "tslgame");
}

TEST(UiSnapshotBuild, EveryKeyInOrder) {
    struct Row {
        const char* name;
        std::function<void(TunnelController&)> setUp;
        std::string expected;
    };
    const Row rows[] = {
        {"fresh", [](TunnelController&) {},
         R"({"version":"1.2.2","phase":"idle","status":"Готов.","error":false,"alert":"","mode":"game","server":"","ping":-1,"apps":[]})"},
        {"idle: server from the held profile, ping hidden",
         [](TunnelController& c) {
             c.profile.mode = TunnelMode::System;
             c.profile.primaryLink = "vless://id@nl.example.test:8443?security=tls";
             c.engine.latencyMs = 40;
             c.engine.serverAddress = "old.example.test:443";
             c.status = "Серверы не отвечают. Повторю попытку через 20 секунд.";
             c.error = true;
         },
         R"({"version":"1.2.2","phase":"idle","status":"Серверы не отвечают. Повторю попытку через 20 секунд.","error":true,"alert":"","mode":"system","server":"nl.example.test:8443","ping":-1,"apps":[]})"},
        {"running: the tunnel's server and ping",
         [](TunnelController& c) {
             c.phase = TunnelPhase::Running;
             c.profile.primaryLink = "vless://id@first.example.test:443";
             c.engine.serverAddress = "fast.example.test:443";
             c.engine.latencyMs = 37;
         },
         R"({"version":"1.2.2","phase":"running","status":"Готов.","error":false,"alert":"","mode":"game","server":"fast.example.test:443","ping":37,"apps":[]})"},
        {"update offered, download running",
         [](TunnelController& c) {
             c.phase = TunnelPhase::Stopping;
             c.alert = "Вы запустили VPN-программу «X».";
             c.update = UpdateOffer{"1.3.0", "https://u", "ab", "Заметки", true, 42};
         },
         R"({"version":"1.2.2","phase":"stopping","status":"Готов.","error":false,"alert":"Вы запустили VPN-программу «X».","mode":"game","server":"","ping":-1,"apps":[],"update":{"version":"1.3.0","notes":"Заметки","mandatory":true,"progress":42}})"},
        {"no version: no update member",
         [](TunnelController& c) { c.update = UpdateOffer{"", "https://u", "ab", "n", true, 3}; },
         R"({"version":"1.2.2","phase":"idle","status":"Готов.","error":false,"alert":"","mode":"game","server":"","ping":-1,"apps":[]})"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        TunnelController c(nullptr, 0, SystemOps{});
        row.setUp(c);
        EXPECT_EQ(buildSnapshot(c, "1.2.2", nullptr), row.expected);
    }
}

TEST(UiSnapshotBuild, AppsWithAFreshProcessCheckEachUnderTheLock) {
    TunnelController c(nullptr, 0, SystemOps{});
    c.profile.apps = {"TslGame", "dota2", "TslGame", "Не игра"};
    std::vector<std::string> asked;
    int lockedDuringCheck = 0;
    auto isRunning = [&](const std::string& fileName) {
        asked.push_back(fileName);
        // Another thread must find the controller locked while the processes are listed.
        bool otherGotLock = true;
        std::thread other([&] {
            otherGotLock = c.lock.try_lock();
            if (otherGotLock) c.lock.unlock();
        });
        other.join();
        if (!otherGotLock) ++lockedDuringCheck;
        return fileName == "dota2.exe";
    };
    EXPECT_EQ(buildSnapshot(c, "1.2.2", isRunning),
              R"({"version":"1.2.2","phase":"idle","status":"Готов.","error":false,"alert":"","mode":"game","server":"","ping":-1,"apps":[{"name":"PUBG","running":false},{"name":"dota2","running":true},{"name":"PUBG","running":false},{"name":"Не игра","running":false}]})");
    EXPECT_EQ(asked, (Words{"TslGame.exe", "dota2.exe", "TslGame.exe", "Не игра.exe"}));
    EXPECT_EQ(lockedDuringCheck, 4);
    // The snapshot is valid JSON that names every key once.
    JsonValue parsed;
    ASSERT_TRUE(parseJson(buildSnapshot(c, "1.2.2", nullptr), parsed));
    EXPECT_EQ(parsed.members.size(), 9u);
}

}  // namespace
