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
// The smallest of three timings, or -1 when all three failed.
int32_t timeServer(const NetworkOps& network, const std::string& address, uint16_t port, uint32_t interfaceIndex) {
    int32_t best = -1;
    for (int round = 0; round < kServerProbeRounds; ++round) {
        const int32_t ms = network.probeTcp(address, port, interfaceIndex, kServerProbeTimeoutMs);
        if (ms >= 0 && (best < 0 || ms < best)) best = ms;
    }
    return best;
}

// Fewer than two servers are not timed at all; without a physical Internet adapter the first
// server is taken as it stands and the tunnel start reports the missing adapter itself.
std::string chooseServer(const SystemOps& system, const std::vector<std::string>& servers,
                         const std::atomic<bool>& cancel) {
    if (servers.size() < 2) return servers.empty() ? std::string() : servers.front();
    std::string adapterName;
    uint32_t interfaceIndex = 0;
    if (!system.adapters.findInternetAdapter(adapterName, interfaceIndex)) return servers.front();
    return selectServer(system.network, system.log, servers, interfaceIndex, &cancel);
}

}  // namespace

std::string selectServer(const NetworkOps& network, const LogSink& log, const std::vector<std::string>& servers,
                         uint32_t interfaceIndex, const std::atomic<bool>* cancel) {
    int32_t best = -1;
    std::string chosen;
    for (const std::string& text : servers) {
        if (cancel && cancel->load()) return {};
        VlessLink link;
        if (!parseVlessLink(text, link)) continue;
        const std::string address = network.resolveIPv4(link.host);
        const int32_t ms = timeServer(network, address, static_cast<uint16_t>(link.port), interfaceIndex);
        log("server " + link.host + ": " + (ms < 0 ? std::string("unreachable") : std::to_string(ms) + " ms"));
        if (ms >= 0 && (best < 0 || ms < best)) {
            best = ms;
            chosen = text;
        }
    }
    return chosen;
}

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
    std::unique_lock<std::timed_mutex> owner(c.tunnelLock, std::defer_lock);
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

    p.primaryLink = chooseServer(c.system, p.servers, c.engine.cancel);

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
