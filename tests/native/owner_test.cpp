// Interleavings on the tunnel's owner: a start, a stop, a switch or a server choice is held inside
// the seam on a latch while each command of the program lands on it, on real threads.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "control/connect.h"
#include "control/monitor.h"
#include "shell/bridge.h"
#include "tests/native/controller_fakes.h"
#include "update/update.h"

namespace {

using Clock = std::chrono::steady_clock;

enum class Held { Start, Stop, Switch, Select };
enum class Act { Toggle, Connect, Disconnect, Switch, Settings, Retry, Update, Shutdown, StopFlag };

JsonValue parseJsonOrNull(const std::string& text) {
    JsonValue value;
    parseJson(text, value);
    return value;
}

const char* const kSystemText = "Подключено. Весь ПК идёт через сервер.";
const char* const kAppsText = "Подключено. dota2 идут через сервер, остальное напрямую.";

struct OwnerRig {
    std::atomic<bool> gate{true};  // held operations wait while it is up (or until their cancel)
    std::atomic<bool> holdStart{false}, holdStop{false}, holdProbe{false};
    std::atomic<int> inStart{0}, inStop{0}, inProbe{0}, overlaps{0}, starts{0}, stops{0};
    std::atomic<bool> shutdownDone{false};
    std::atomic<int> afterShutdown{0};
    MemoryProfileSource documents;
    ProfileSource source = memoryProfileSource(documents);
    TunnelController c{nullptr, 1, SystemOps{}};

    void waitGate(const std::atomic<bool>& hold, const std::atomic<bool>* cancel) {
        const auto deadline = Clock::now() + std::chrono::seconds(5);
        while (hold && gate && !(cancel && *cancel) && Clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    void enter(std::atomic<int>& mine) {
        if (shutdownDone) ++afterShutdown;
        if (inStart + inStop > 0) ++overlaps;
        ++mine;
    }

    OwnerRig() {
        SystemOps& s = c.system;
        s.clock.nowMs = [] {
            return static_cast<uint64_t>(
                std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch()).count());
        };
        s.clock.sleepMs = [](uint32_t) { std::this_thread::sleep_for(std::chrono::microseconds(200)); };
        s.processes.startWorker = [](std::function<void()> work) {
            std::thread(std::move(work)).detach();
            return true;
        };
        s.adapters.findInternetAdapter = [](std::string&, uint32_t& index) {
            index = 7;
            return true;
        };
        s.network.probeTcp = [this](const std::string&, uint16_t, uint32_t, uint32_t) {
            ++inProbe;
            waitGate(holdProbe, &c.engine.cancel);
            --inProbe;
            return holdProbe ? -1 : 20;
        };
        s.tunnel.start = [this](EngineState& engine, const ServiceProfile&) {
            enter(inStart);
            ++starts;
            waitGate(holdStart, &engine.cancel);
            const bool cancelled = engine.cancel.load();
            if (!cancelled) engine.running = true;
            --inStart;
            return cancelled ? std::string(kMsgStartCancelled) : std::string();
        };
        s.tunnel.stop = [this](EngineState& engine) {
            enter(inStop);
            ++stops;
            waitGate(holdStop, nullptr);
            engine.running = false;
            --inStop;
        };
        std::lock_guard<std::mutex> hold(c.lock);
        c.profile.mode = TunnelMode::System;
        c.profile.servers = {"vless://id@a.test:443?type=tcp#a"};
        c.profile.primaryLink = c.profile.servers.front();
        c.profileReady = true;
    }

    TunnelPhase phase() { return c.readPhase(); }
    bool settled() {
        {
            std::lock_guard<std::mutex> hold(c.workersLock);
            if (c.workers != 0) return false;
        }
        const TunnelPhase p = phase();
        return p == TunnelPhase::Idle || p == TunnelPhase::Running;
    }
};

// The command as the program issues it; returns the thread that runs it.
std::thread fire(OwnerRig& r, Act act, UiBridge& bridge) {
    TunnelController& c = r.c;
    switch (act) {
    case Act::Toggle: handleWebMessage(bridge, R"({"cmd":"toggle"})"); break;
    case Act::Connect: c.startConnect(); break;
    case Act::Disconnect: c.startDisconnect(); break;
    case Act::Switch: return std::thread([&c] { c.reconnect(kStatusServerSilent); });
    case Act::Settings:
        offerDocument(r.documents, parseJsonOrNull(R"({"config":{"mode":"game","apps":["dota2"],)"
                                                   R"("servers":{"apps":"vless://id@a.test:443?type=tcp#a"}}})"));
        return std::thread([&r] {
            MonitorState state;
            monitorPass(r.c, r.source, state);
        });
    case Act::Retry:
        c.retryAt = 1;
        return std::thread([&r] {
            MonitorState state;
            monitorPass(r.c, r.source, state);
        });
    case Act::Update: c.startWorker([&c] { runUpdate(c, "https://u", "ab", UpdateOps{}); }); break;
    case Act::StopFlag:  // what the headless client's quit does first, before it waits for the connect to settle
        return std::thread([&r] { r.c.stopFlag = true; });
    case Act::Shutdown:
        return std::thread([&r] {
            EXPECT_TRUE(shutdownTunnel(r.c, nullptr)) << "nothing may still touch the controller";
            r.shutdownDone = true;
        });
    }
    return std::thread([] {});
}

TEST(TunnelOwner, CommandsLandingOnAHeldStartOrStopNeverOverlapIt) {
    struct Row {
        Held held;
        Act act;
        TunnelPhase phase;  // once everything settled, before the final shutdown
        std::string status;
        bool wantConnected;
    };
    const std::string down = kStatusDisconnected;
    const std::string failed = kUpdateDownloadFailed;
    const TunnelPhase idle = TunnelPhase::Idle, running = TunnelPhase::Running;
    const Row rows[] = {
        {Held::Start, Act::Toggle, running, kSystemText, true},  // ignored while connecting
        {Held::Start, Act::Connect, running, kSystemText, true},
        {Held::Start, Act::Disconnect, idle, down, false},
        {Held::Start, Act::Switch, running, kSystemText, true},
        {Held::Start, Act::Settings, running, kAppsText, true},  // applied once running
        {Held::Start, Act::Retry, running, kSystemText, true},
        {Held::Start, Act::Update, idle, failed, false},
        {Held::Start, Act::Shutdown, idle, down, false},
        {Held::Start, Act::StopFlag, idle, down, true},  // the engines that came up are stopped
        {Held::Stop, Act::Toggle, idle, down, false},
        {Held::Stop, Act::Connect, running, kSystemText, true},  // taken once the stop ends
        {Held::Stop, Act::Disconnect, idle, down, false},
        {Held::Stop, Act::Switch, idle, down, false},
        {Held::Stop, Act::Settings, idle, down, false},
        {Held::Stop, Act::Retry, idle, down, false},
        {Held::Stop, Act::Update, idle, down, false},  // the stop under way ends last
        {Held::Stop, Act::Shutdown, idle, down, false},
        // The user's stop while the monitor takes the tunnel down for a switch wins.
        {Held::Switch, Act::Disconnect, idle, down, false},
        {Held::Switch, Act::Toggle, running, kSystemText, true},
        {Held::Switch, Act::Update, idle, down, false},
        {Held::Switch, Act::Shutdown, idle, down, false},
        // A stop during the server choice: no "no answer" text, no retry.
        {Held::Select, Act::Disconnect, idle, down, false},
        {Held::Select, Act::Shutdown, idle, down, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::to_string(static_cast<int>(row.held)) + "/" + std::to_string(static_cast<int>(row.act)));
        OwnerRig r;
        UiBridge bridge;
        bridge.controller = &r.c;
        bridge.ops.elevation.isAdministrator = [] { return true; };
        TunnelController& c = r.c;
        c.wantConnected = true;
        if (row.held != Held::Start && row.held != Held::Select) {
            runConnect(c);  // a running tunnel first
            ASSERT_EQ(r.phase(), running);
        }
        std::thread holder;
        switch (row.held) {
        case Held::Start:
            r.holdStart = true;
            c.startConnect();
            ASSERT_TRUE(vlm_test::waitFor([&] { return r.inStart > 0; }));
            break;
        case Held::Select:
            r.holdProbe = true;
            {
                std::lock_guard<std::mutex> hold(c.lock);
                c.profile.servers.push_back("vless://id@b.test:443?type=tcp#b");
            }
            c.startConnect();
            ASSERT_TRUE(vlm_test::waitFor([&] { return r.inProbe > 0; }));
            break;
        case Held::Stop:
            r.holdStop = true;
            c.startDisconnect();
            ASSERT_TRUE(vlm_test::waitFor([&] { return r.inStop > 0; }));
            break;
        case Held::Switch:
            r.holdStop = true;
            holder = std::thread([&c] { c.reconnect(kStatusServerSilent); });
            ASSERT_TRUE(vlm_test::waitFor([&] { return r.inStop > 0; }));
            break;
        }
        std::thread action = fire(r, row.act, bridge);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        r.gate = false;
        action.join();
        if (holder.joinable()) holder.join();
        ASSERT_TRUE(vlm_test::waitFor([&] { return r.settled(); }));
        if (row.act == Act::Settings) {  // the next pass finds the change that came while connecting
            MonitorState state;
            monitorPass(c, r.source, state);
        }
        EXPECT_EQ(r.phase(), row.phase);
        {
            std::lock_guard<std::mutex> hold(c.lock);
            EXPECT_EQ(c.status, row.status);
        }
        EXPECT_EQ(c.wantConnected.load(), row.wantConnected);
        if (!row.wantConnected && row.act != Act::Retry) {
            EXPECT_EQ(c.retryAt.load(), 0u) << "no retry after a stop";
        }
        EXPECT_EQ(c.engine.running.load(), row.phase == running) << "engines match the phase";
        if (!r.shutdownDone) {
            EXPECT_TRUE(shutdownTunnel(c, nullptr));
            r.shutdownDone = true;
        }
        c.startConnect();  // a late command after the shutdown starts nothing
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        ASSERT_TRUE(vlm_test::waitFor([&] { return r.settled(); }));
        EXPECT_EQ(r.overlaps.load(), 0) << "a start and a stop ran at once";
        EXPECT_EQ(r.afterShutdown.load(), 0) << "the tunnel was touched after the shutdown returned";
        EXPECT_FALSE(c.engine.running.load());
    }
}

TEST(TunnelOwner, AutostartDoesNotConnectOnceStopping) {
    OwnerRig r;
    r.c.stopFlag = true;
    autostartTask(r.c);
    EXPECT_EQ(r.starts.load(), 0);
    EXPECT_FALSE(r.c.wantConnected.load());
}

}  // namespace
