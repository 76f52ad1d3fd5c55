#include "control/connect.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <utility>

#include "tunnel/link.h"

namespace {

constexpr const char* kStatusConnectedSystem = "Подключено. Весь ПК идёт через сервер.";
constexpr const char* kConnectedPrefix = "Подключено. ";
constexpr const char* kConnectedAppsWithGeneral = " идут через игровой сервер, остальное через общий.";
constexpr const char* kConnectedAppsDirect = " идут через сервер, остальное напрямую.";

}  // namespace

std::string connectedText(const ServiceProfile& profile) {
    if (profile.mode == TunnelMode::System) return kStatusConnectedSystem;
    std::string text = kConnectedPrefix;
    for (size_t i = 0; i < profile.apps.size(); ++i) {
        if (i) text += ", ";
        text += profile.apps[i] == "TslGame" ? "PUBG" : profile.apps[i];
    }
    return text + (profile.generalLink.empty() ? kConnectedAppsDirect : kConnectedAppsWithGeneral);
}

void runConnect(TunnelController& c) {
    // The tunnel's owner for the whole procedure: a connect that comes while another start or a
    // stop runs goes on once that has ended.
    std::unique_lock<OwnerLock> owner(c.tunnelLock, std::defer_lock);
    if (!owner.try_lock_for(std::chrono::milliseconds(kTunnelOwnerWaitMs))) {
        c.system.log("connect skipped: a start or stop kept the tunnel for 20 s");
        return;
    }

    ServiceProfile p;
    {
        std::unique_lock<std::mutex> hold(c.lock);
        if (c.stopFlag.load() || c.phase != TunnelPhase::Idle || !c.profileReady) return;
        if (c.update.mandatory && !c.update.version.empty()) {
            c.status = "Сначала установите обновление " + c.update.version + ".";
            c.error = true;
            hold.unlock();
            owner.unlock();
            c.notify();
            return;
        }
        p = c.profile;
        c.alert.clear();
        c.retryAt.exchange(0);
        c.engine.cancel = false;
        c.phase = TunnelPhase::Connecting;
        c.error = false;
        c.status = p.servers.size() < 2 ? kStatusConnecting : kStatusSelecting;
    }
    c.notify();

    p.primaryLink = chooseServer(c, p.servers);

    if (p.primaryLink.empty() && !p.servers.empty()) {
        {
            std::lock_guard<std::mutex> hold(c.lock);
            if (c.phase != TunnelPhase::Connecting || c.engine.cancel) return;  // a stop came meanwhile
            c.phase = TunnelPhase::Idle;
            c.status = kStatusNoServerAnswers;
            c.error = true;
            c.retryAt.exchange(c.system.clock.nowMs() + kConnectRetryDelayMs);
        }
        owner.unlock();
        c.notify();
        return;
    }

    const std::string failure = c.system.tunnel.start(c.engine, p);
    bool superseded = false;
    {
        std::lock_guard<std::mutex> hold(c.lock);
        if (c.phase != TunnelPhase::Connecting || c.stopFlag.load()) {
            superseded = true;
        } else if (!failure.empty()) {
            c.phase = TunnelPhase::Idle;
            c.status = failure;
            c.error = true;
        } else {
            c.phase = TunnelPhase::Running;
            c.status = connectedText(p);
            c.error = false;
            c.activeProfile = std::move(p);
        }
    }
    if (superseded) {
        // A stop took the phase over while the engines were starting; it waits for this owner, so
        // engines that came up anyway are stopped here before it runs.
        if (failure.empty()) {
            c.system.log("stopping the engines started during a stop");
            c.system.tunnel.stop(c.engine);
        }
        // A shutdown (the stop flag) takes no phase over: the tunnel is down, and the phase says so
        // here, or whoever waits for the connect to settle would wait for nothing.
        bool ended = false;
        {
            std::lock_guard<std::mutex> hold(c.lock);
            if (c.phase == TunnelPhase::Connecting) {
                c.phase = TunnelPhase::Idle;
                c.status = kStatusDisconnected;
                c.error = false;
                ended = true;
            }
        }
        owner.unlock();
        if (ended) c.notify();
        return;
    }
    owner.unlock();
    c.notify();
}

void autostartTask(TunnelController& controller) {
    for (int i = 0; i < kAutostartWaitSteps; ++i) {
        if (controller.stopFlag) break;
        {
            std::lock_guard<std::mutex> hold(controller.lock);
            if (controller.profileReady) break;
        }
        controller.system.clock.sleepMs(100);
    }
    {
        std::lock_guard<std::mutex> hold(controller.lock);
        if (!controller.profileReady || controller.stopFlag.load()) return;
    }
    controller.wantConnected.exchange(true);
    runConnect(controller);
}
