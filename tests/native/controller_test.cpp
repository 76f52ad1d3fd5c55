#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <limits>
#include <thread>

#include "control/controller.h"
#include "tests/native/controller_fakes.h"

using vlm_test::NotifyProbe;
using vlm_test::QueuedWorkers;

namespace {

// One controller with queued workers, a notification probe and a counting tunnel stop.
struct Rig {
    QueuedWorkers workers;
    NotifyProbe probe;
    int stops = 0;
    int stopsUnderLock = 0;
    int connects = 0;
    std::vector<std::pair<std::string, std::string>> updates;  // url, sha256 handed to the procedure
    TunnelController c;
    Rig() : c(nullptr, 77, SystemOps{}) {
        c.onChanged = probe.callback();
        probe.controller = &c;
        c.system.processes.startWorker = workers.starter();
        c.system.tunnel.stop = [this](EngineState&) {
            ++stops;
            if (!c.lock.try_lock()) ++stopsUnderLock;  // the engines are stopped with the lock free
            else c.lock.unlock();
        };
        c.system.procedures.connect = [this](TunnelController&) { ++connects; };
        c.system.procedures.applyUpdate = [this](TunnelController&, const std::string& url, const std::string& sha) {
            updates.emplace_back(url, sha);
        };
    }
};

TEST(TunnelControllerDisconnect, PhasesTextsAndNotifications) {
    struct Row {
        TunnelPhase from;
        const char* message;
        bool isError;
        TunnelPhase to;
        const char* status;
        bool error;
        int notifications;
        int stops;
    };
    const Row rows[] = {
        {TunnelPhase::Running, "", false, TunnelPhase::Idle, "Готов.", false, 2, 1},
        {TunnelPhase::Running, "Отключено.", false, TunnelPhase::Idle, "Отключено.", false, 2, 1},
        {TunnelPhase::Connecting, "Сервер перестал отвечать, переключаюсь на другой…", false, TunnelPhase::Idle,
         "Сервер перестал отвечать, переключаюсь на другой…", false, 2, 1},
        {TunnelPhase::Running, "Туннель неожиданно остановился. ", true, TunnelPhase::Idle,
         "Туннель неожиданно остановился. ", true, 2, 1},
        // Nothing runs: only an error message is kept, and nobody is told until the next timed snapshot.
        {TunnelPhase::Idle, "", false, TunnelPhase::Idle, "было", true, 0, 0},
        {TunnelPhase::Idle, "", true, TunnelPhase::Idle, "было", true, 0, 0},
        {TunnelPhase::Idle, "Отключено.", false, TunnelPhase::Idle, "было", true, 0, 0},
        {TunnelPhase::Idle, "Не удалось скачать обновление.", true, TunnelPhase::Idle,
         "Не удалось скачать обновление.", true, 0, 0},
        {TunnelPhase::Stopping, "Ошибка", true, TunnelPhase::Stopping, "Ошибка", true, 0, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(phaseName(row.from)) + " / " + row.message);
        Rig r;
        r.c.phase = row.from;
        r.c.status = "было";
        r.c.error = true;
        r.c.disconnect(row.message, row.isError);
        EXPECT_EQ(r.c.phase, row.to);
        EXPECT_EQ(r.c.status, row.status);
        EXPECT_EQ(r.c.error, row.error);
        EXPECT_EQ(r.probe.count, row.notifications);
        EXPECT_EQ(r.probe.withLockHeld, 0);
        EXPECT_EQ(r.stops, row.stops);
        EXPECT_EQ(r.stopsUnderLock, 0);
        if (row.notifications == 2) {
            // The first notification shows the stop under way, with the error flag cleared.
            EXPECT_EQ(r.probe.statuses[0], "Отключаюсь…");
            EXPECT_EQ(r.probe.phases[0], TunnelPhase::Stopping);
            EXPECT_EQ(r.probe.phases[1], TunnelPhase::Idle);
        }
    }
}

TEST(TunnelControllerCommands, EachNotifiesOnceWithTheLockFree) {
    struct Row {
        const char* name;
        std::function<void(TunnelController&)> run;
        int notifications;
        std::function<void(const TunnelController&)> check;
    };
    const Row rows[] = {
        {"reportFailure", [](TunnelController& c) { c.reportFailure("Для туннеля нужны права администратора."); }, 1,
         [](const TunnelController& c) {
             EXPECT_EQ(c.status, "Для туннеля нужны права администратора.");
             EXPECT_TRUE(c.error);
             EXPECT_EQ(c.phase, TunnelPhase::Idle);
         }},
        {"dismissAlert with an alert",
         [](TunnelController& c) {
             c.alert = "Вы запустили VPN-программу «X».";
             c.dismissAlert();
         },
         1, [](const TunnelController& c) { EXPECT_EQ(c.alert, ""); }},
        {"dismissAlert without one", [](TunnelController& c) { c.dismissAlert(); }, 1,
         [](const TunnelController& c) { EXPECT_EQ(c.alert, ""); }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Rig r;
        row.run(r.c);
        EXPECT_EQ(r.probe.count, row.notifications);
        EXPECT_EQ(r.probe.withLockHeld, 0);
        row.check(r.c);
    }
}

TEST(TunnelControllerWorkers, ConnectAndDisconnectWorkers) {
    Rig r;
    r.c.startConnect();
    EXPECT_TRUE(r.c.wantConnected.load());
    EXPECT_EQ(r.connects, 0) << "the connect procedure runs on the worker, not on the caller";
    EXPECT_EQ(r.workers.runAll(), 1u);
    EXPECT_EQ(r.connects, 1);

    r.c.phase = TunnelPhase::Running;
    r.c.retryAt = 12345;
    r.c.startDisconnect();
    EXPECT_FALSE(r.c.wantConnected.load());
    EXPECT_EQ(r.c.retryAt.load(), 0u);
    EXPECT_EQ(r.c.phase, TunnelPhase::Running);
    r.workers.runAll();
    EXPECT_EQ(r.c.phase, TunnelPhase::Idle);
    EXPECT_EQ(r.c.status, "Отключено.");
    EXPECT_FALSE(r.c.error);
    EXPECT_EQ(r.stops, 1);
    EXPECT_EQ(r.probe.withLockHeld, 0);

    // A worker that cannot start drops its work; nothing changes and nothing is shown.
    Rig refused;
    refused.workers.refuse = true;
    refused.c.startConnect();
    refused.c.phase = TunnelPhase::Running;
    refused.c.startDisconnect();
    EXPECT_EQ(refused.connects, 0);
    EXPECT_EQ(refused.c.phase, TunnelPhase::Running);
    EXPECT_EQ(refused.probe.count, 0);

}

TEST(TunnelControllerUpdate, StartsOnlyWithALinkAndNoDownloadRunning) {
    Rig r;
    r.c.startUpdate();  // no offer at all
    r.c.update.version = "1.3.0";
    r.c.startUpdate();  // an offer without a link
    EXPECT_EQ(r.c.update.progress, -1);
    EXPECT_EQ(r.probe.count, 0);
    EXPECT_TRUE(r.workers.queue.empty());

    r.c.update.url = "https://dl.velmorante.test/v.exe";
    r.c.update.sha256 = "ABCDEF";
    r.c.startUpdate();
    EXPECT_EQ(r.c.update.progress, 0);
    EXPECT_EQ(r.probe.count, 1);
    EXPECT_EQ(r.probe.withLockHeld, 0);
    // A second press while the download runs (progress 0 or more) does nothing.
    r.c.startUpdate();
    r.c.update.progress = 57;
    r.c.startUpdate();
    EXPECT_EQ(r.workers.runAll(), 1u);
    ASSERT_EQ(r.updates.size(), 1u);
    EXPECT_EQ(r.updates[0].first, "https://dl.velmorante.test/v.exe");
    EXPECT_EQ(r.updates[0].second, "ABCDEF");
    EXPECT_EQ(r.probe.count, 1);

    // After a failed download the user may press again.
    r.c.update.progress = -1;
    r.c.startUpdate();
    EXPECT_EQ(r.workers.runAll(), 1u);
    EXPECT_EQ(r.updates.size(), 2u);
}

TEST(TunnelControllerUpdate, ProgressIsATruncatedPercentNotifiedOnChange) {
    Rig r;
    r.c.update.progress = 0;
    struct Row {
        double fraction;
        int32_t stored;
        bool notified;
    };
    const Row rows[] = {
        {0.0, 0, false},    {0.004, 0, false},  {0.01, 1, true},   {0.999, 99, true}, {0.995, 99, false},
        {0.5, 50, true},    {1.0, 100, true},   {1.0, 100, false},
        // A download that reports nonsense never leaves 0..100 (nor converts a NaN to an integer).
        {1.7, 100, false},  {-0.25, 0, true},   {std::numeric_limits<double>::quiet_NaN(), 0, false},
        {std::numeric_limits<double>::infinity(), 100, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.fraction);
        const int before = r.probe.count;
        r.c.setUpdateProgress(row.fraction);
        EXPECT_EQ(r.c.update.progress, row.stored);
        EXPECT_EQ(r.probe.count - before, row.notified ? 1 : 0);
    }
    EXPECT_EQ(r.probe.withLockHeld, 0);
}

// Two toggles racing, through the real connect procedure: it starts only from "idle" and the stop
// acts only in "connecting" or "running", both decided under the lock, so neither the tunnel start
// nor its stop ever runs twice at once.
TEST(TunnelControllerRace, ConcurrentConnectsAndStopsNeverOverlap) {
    std::atomic<int> startsInside{0}, startsMax{0}, startsTotal{0}, stopsInside{0}, stopsMax{0}, stopsTotal{0},
        workersDone{0};
    auto raise = [](std::atomic<int>& inside, std::atomic<int>& max) {
        const int now = ++inside;
        int seen = max.load();
        while (now > seen && !max.compare_exchange_weak(seen, now)) {
        }
    };
    SystemOps ops;
    ops.processes.startWorker = [&, realStart = platformProcessOps().startWorker](std::function<void()> work) {
        return realStart([&workersDone, work = std::move(work)] {
            work();
            ++workersDone;
        });
    };
    ops.tunnel.start = [&](EngineState&, const ServiceProfile&) {
        ++startsTotal;
        raise(startsInside, startsMax);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        --startsInside;
        return std::string();
    };
    ops.tunnel.stop = [&](EngineState&) {
        ++stopsTotal;
        raise(stopsInside, stopsMax);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        --stopsInside;
    };
    std::atomic<int> notifications{0};
    TunnelController c([&] {
        std::lock_guard<std::mutex> hold(c.lock);  // the user-interface thread's snapshot
        ++notifications;
    }, 1, ops);
    c.profile.servers = {"vless://id-1@a.test:443?type=tcp#a"};
    c.profile.primaryLink = c.profile.servers.front();
    c.profileReady = true;

    constexpr int kRounds = 20;
    int started = 0;
    for (int round = 0; round < kRounds; ++round) {
        std::thread a([&] { c.startConnect(); });
        std::thread b([&] { c.startConnect(); });
        a.join();
        b.join();
        started += 2;
        ASSERT_TRUE(vlm_test::waitFor([&] { return workersDone.load() == started; }));
        ASSERT_EQ(c.readPhase(), TunnelPhase::Running);
        std::thread d([&] { c.startDisconnect(); });
        std::thread e([&] { c.startDisconnect(); });
        d.join();
        e.join();
        started += 2;
        ASSERT_TRUE(vlm_test::waitFor([&] { return workersDone.load() == started; }));
        ASSERT_EQ(c.readPhase(), TunnelPhase::Idle);
    }
    EXPECT_EQ(startsTotal.load(), kRounds);
    EXPECT_EQ(startsMax.load(), 1);
    EXPECT_EQ(stopsTotal.load(), kRounds);
    EXPECT_EQ(stopsMax.load(), 1);
    EXPECT_EQ(c.status, "Отключено.");
    EXPECT_GT(notifications.load(), 0);
}

}  // namespace
