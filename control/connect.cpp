#include "control/connect.h"

#include <algorithm>
#include <mutex>
#include <utility>

#include "tunnel/link.h"

namespace {

constexpr const char* kStatusConnectedSystem = "Подключено. Весь ПК идёт через сервер.";
constexpr const char* kConnectedPrefix = "Подключено. ";
constexpr const char* kConnectedAppsWithGeneral = " идут через игровой сервер, остальное через общий.";
constexpr const char* kConnectedAppsDirect = " идут через сервер, остальное напрямую.";
// Stopping both engines takes a few seconds at most (Ctrl+C, then a bounded wait and termination).
constexpr uint64_t kSupersededStopWaitMs = 15000;
constexpr uint32_t kSupersededPollMs = 100;

// One connect procedure per controller at a time. The phase check alone does not ensure it: a
// disconnect also acts on "connecting" (a stop worker started while the tunnel still ran, or the
// update), which returns the phase to "idle" while the procedure under it is still starting the
// engines; a second procedure would then start the same engine state twice.
std::mutex gClaimsLock;
std::vector<const TunnelController*> gClaims;

struct ConnectClaim {
    const TunnelController* owner = nullptr;
    explicit ConnectClaim(const TunnelController& c) {
        std::lock_guard<std::mutex> hold(gClaimsLock);
        if (std::find(gClaims.begin(), gClaims.end(), &c) != gClaims.end()) return;
        gClaims.push_back(&c);
        owner = &c;
    }
    ~ConnectClaim() {
        if (!owner) return;
        std::lock_guard<std::mutex> hold(gClaimsLock);
        gClaims.erase(std::find(gClaims.begin(), gClaims.end(), owner));
    }
    ConnectClaim(const ConnectClaim&) = delete;
    ConnectClaim& operator=(const ConnectClaim&) = delete;
};

// A disconnect took the phase over while the engines were starting (it acts on "connecting" too);
// the phase and the status are its own now. Engines that came up under it are stopped here, once
// its own stop has finished, so that two stops never run at once. Other connects wait for the
// claim, so the phase can only be "stopping" or "idle" here.
void stopSupersededStart(TunnelController& c) {
    const uint64_t deadline = c.system.clock.nowMs() + kSupersededStopWaitMs;
    for (;;) {
        {
            std::lock_guard<std::mutex> hold(c.lock);
            if (c.phase == TunnelPhase::Idle) {
                c.phase = TunnelPhase::Stopping;
                break;
            }
        }
        if (c.system.clock.nowMs() >= deadline) {
            c.system.log("engines started during a stop were left running: the stop did not finish");
            return;
        }
        c.system.clock.sleepMs(kSupersededPollMs);
    }
    c.system.log("stopping the engines started during a stop");
    c.notify();
    c.system.tunnel.stop(c.engine);
    {
        std::lock_guard<std::mutex> hold(c.lock);
        c.phase = TunnelPhase::Idle;
    }
    c.notify();
}

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
    ConnectClaim claim(c);
    if (!claim.owner) return;

    ServiceProfile p;
    {
        std::unique_lock<std::mutex> hold(c.lock);
        if (c.phase != TunnelPhase::Idle || !c.profileReady) return;
        if (c.update.mandatory && !c.update.version.empty()) {
            c.status = "Сначала установите обновление " + c.update.version + ".";
            c.error = true;
            hold.unlock();
            c.notify();
            return;
        }
        p = c.profile;
        c.alert.clear();
        c.retryAt.exchange(0);
        c.phase = TunnelPhase::Connecting;
        c.error = false;
        c.status = p.servers.size() < 2 ? kStatusConnecting : kStatusSelecting;
    }
    c.notify();

    p.primaryLink = chooseServer(c, p.servers);

    if (p.primaryLink.empty() && !p.servers.empty()) {
        {
            std::lock_guard<std::mutex> hold(c.lock);
            // A disconnect that stopped the selection owns the phase and the status.
            if (c.phase != TunnelPhase::Connecting) return;
            c.phase = TunnelPhase::Idle;
            c.status = kStatusNoServerAnswers;
            c.error = true;
        }
        c.retryAt.exchange(c.system.clock.nowMs() + kConnectRetryDelayMs);
        c.notify();
        return;
    }

    const std::string failure = c.system.tunnel.start(c.engine, p);
    bool superseded = false;
    {
        std::lock_guard<std::mutex> hold(c.lock);
        if (c.phase != TunnelPhase::Connecting) {
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
        if (failure.empty()) stopSupersededStart(c);
        return;
    }
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
        if (!controller.profileReady) return;
    }
    controller.wantConnected.exchange(true);
    runConnect(controller);
}
