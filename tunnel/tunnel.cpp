#include "tunnel/tunnel.h"

#include <optional>

#include "foundation/text.h"
#include "tunnel/link.h"
#include "tunnel/singbox_config.h"
#include "tunnel/xray_config.h"

std::string foreignAdapterMessage(const std::string& adapterName) {
    return "Другая сетевая программа (адаптер «" + adapterName + "») не закрылась сама. Закройте её и нажмите снова.";
}

std::string singBoxArguments(const std::string& engineFolder) {
    return "run -c \"" + engineFolder + "\\tun.json\" -D \"" + engineFolder + "\"";
}

std::string engineLogReason(const std::string& tail) {
    if (tail.find("received real certificate") != std::string::npos) return kMsgRealityMismatch;
    std::string candidate;
    size_t start = 0;
    while (start <= tail.size()) {
        size_t end = tail.find('\n', start);
        if (end == std::string::npos) end = tail.size();
        const std::string line = tail.substr(start, end - start);
        const std::string lower = lowerAscii(line);
        if (lower.find("fatal") != std::string::npos || lower.find("[error]") != std::string::npos) candidate = line;
        start = end + 1;
    }
    std::string cleaned;
    cleaned.reserve(candidate.size());
    for (size_t i = 0; i < candidate.size(); ++i) {
        const char c = candidate[i];
        if (c == '\r') continue;
        if (c == '\x1b') {
            // Up to and including the next ASCII letter; an unfinished sequence runs to the end.
            while (i + 1 < candidate.size()) {
                const char n = candidate[++i];
                if ((n >= 'A' && n <= 'Z') || (n >= 'a' && n <= 'z')) break;
            }
            continue;
        }
        cleaned.push_back(c);
    }
    if (cleaned.size() > kEngineReasonMaxBytes) cleaned.resize(kEngineReasonMaxBytes);
    return cleaned;
}

bool waitForLocalPort(int32_t port, const TunnelOps& ops) {
    const uint64_t t0 = ops.clock.nowMs();
    for (;;) {
        if (ops.network.probeTcp("127.0.0.1", static_cast<uint16_t>(port), 0, kLocalPortProbeMs) >= 0) return true;
        ops.clock.sleepMs(kLocalPortPollMs);
        if (ops.clock.nowMs() - t0 >= ops.timeouts.localPortWaitMs) return false;
    }
}

AdapterWait waitForTunnelAdapter(const PlatformHandle& singBox, const TunnelOps& ops) {
    const uint64_t t0 = ops.clock.nowMs();
    while (singBox && ops.processes.processRunning(singBox)) {
        if (ops.adapters.isTunnelAdapterUp()) return AdapterWait::Up;
        ops.clock.sleepMs(kAdapterPollMs);
        if (ops.clock.nowMs() - t0 >= ops.timeouts.adapterWaitMs) return AdapterWait::TimedOut;
    }
    return AdapterWait::Exited;
}

std::string scanEngineLog(const TunnelOps& ops) { return engineLogReason(ops.folder.readEngineLogTail()); }

bool enginesAlive(const EngineState& state, const TunnelOps& ops) {
    return ops.processes.processRunning(state.xrayProcess) && ops.processes.processRunning(state.singBoxProcess);
}

void stopTunnel(EngineState& state, const TunnelOps& ops) {
    state.running = false;
    state.stopRequested = true;
    if (state.healthThread) {
        ops.processes.joinThread(state.healthThread, kHealthThreadJoinMs);
        state.healthThread.reset();
    }
    ops.processes.stopEngineProcess(state.singBoxProcess, kSingBoxStopGraceMs);
    ops.processes.stopEngineProcess(state.xrayProcess, kXrayStopGraceMs);
    state.job.reset();  // kill-on-close ends anything still in it
    ops.folder.deleteTunConfig();
    state.latencyMs = -1;
    state.routes.clear();
}

namespace {

// Starts sing-box, up to four times while it exits early; "" once its adapter is up.
std::string startSingBox(EngineState& state, const TunnelOps& ops) {
    const std::string arguments = singBoxArguments(ops.folder.engineFolder);
    for (int attempt = 0; attempt < kSingBoxAttempts; ++attempt) {
        if (attempt > 0) {
            ops.log(kLogAdapterRetry + scanEngineLog(ops));
            ops.processes.stopEngineProcess(state.singBoxProcess, kSingBoxRetryGraceMs);
            ops.clock.sleepMs(kSingBoxRetryPauseMs);
        }
        state.singBoxProcess = ops.processes.launchEngine("sing-box.exe", arguments, nullptr, state.job);
        if (!state.singBoxProcess) break;
        const AdapterWait outcome = waitForTunnelAdapter(state.singBoxProcess, ops);
        if (outcome == AdapterWait::Up) return {};
        if (outcome == AdapterWait::Exited && attempt + 1 < kSingBoxAttempts) continue;
        break;
    }
    const std::string reason = scanEngineLog(ops);
    stopTunnel(state, ops);
    return kMsgAdapterFailedPrefix + reason;
}

}  // namespace

std::string startTunnel(EngineState& state, const TunnelRequest& request, const TunnelOps& ops) {
    std::string adapterName;
    uint32_t interfaceIndex = 0;
    if (!ops.adapters.findInternetAdapter(adapterName, interfaceIndex)) return kMsgNoInternetAdapter;

    ops.conflicts.clear();

    const uint64_t t0 = ops.clock.nowMs();
    while (ops.clock.nowMs() - t0 < ops.timeouts.foreignAdapterWaitMs) {
        if (ops.adapters.findForeignTunnelAdapter().empty()) break;
        ops.clock.sleepMs(kForeignAdapterPollMs);
    }
    const std::string foreign = ops.adapters.findForeignTunnelAdapter();
    if (!foreign.empty()) return foreignAdapterMessage(foreign);

    ServerRoute apps{"apps", VlessLink{}, 0};
    ServerRoute rest{"rest", VlessLink{}, 0};
    bool useApps = false, useRest = false;
    if (request.mode == TunnelMode::PerApplication) {
        if (request.apps.empty()) return kMsgAppsEmpty;
        if (!parseVlessLink(request.primaryLink, apps.link)) return kMsgNoAppsServer;
        useApps = true;
        if (!request.generalLink.empty() && parseVlessLink(request.generalLink, rest.link)) {
            apps.socksPort = ops.network.freeLocalPort();
            rest.socksPort = ops.network.freeLocalPort();
            useRest = true;
        } else {
            apps.socksPort = ops.network.freeLocalPort();
        }
    } else {
        if (!parseVlessLink(request.primaryLink, rest.link)) return kMsgNoServer;
        useRest = true;
        rest.socksPort = ops.network.freeLocalPort();
    }

    const ServerRoute& primary = request.mode == TunnelMode::PerApplication ? apps : rest;
    state.serverAddress = primary.link.host + ":" + std::to_string(primary.link.port);
    state.serverIp = ops.network.resolveIPv4(primary.link.host);
    state.serverPort = static_cast<uint32_t>(primary.link.port);
    state.interfaceIndex = interfaceIndex;

    const std::string filesMessage = ops.folder.ensureEngineFiles();
    if (!filesMessage.empty()) return filesMessage;
    ops.processes.killLeftoverEngines();
    ops.folder.deleteEngineLog();

    std::vector<ServerRoute> routes;
    if (useRest) routes.push_back(rest);
    if (useApps) routes.push_back(apps);

    std::string xrayConfig;
    const std::string configError = buildXrayConfig(routes, adapterName, xrayConfig, ops.network.resolveIPv4);
    if (!configError.empty()) return kMsgBadKeyPrefix + configError;

    state.job = ops.processes.createJob();
    state.xrayProcess = ops.processes.launchEngine("xray-core.exe", "run -c stdin:", &xrayConfig, state.job);
    if (!state.xrayProcess || !waitForLocalPort(routes.front().socksPort, ops)) {
        const std::string reason = scanEngineLog(ops);
        stopTunnel(state, ops);
        return kMsgXrayFailedPrefix + reason;
    }

    const std::optional<ServerRoute> appsRoute = useApps ? std::optional<ServerRoute>(apps) : std::nullopt;
    const std::optional<ServerRoute> restRoute = useRest ? std::optional<ServerRoute>(rest) : std::nullopt;
    ops.folder.writeTunConfig(buildSingBoxConfig(adapterName, appsRoute, buildProcessList(request.apps), restRoute));

    const std::string singBoxMessage = startSingBox(state, ops);
    if (!singBoxMessage.empty()) return singBoxMessage;

    ops.adapters.setTunnelDns();
    state.routes.clear();
    for (const ServerRoute& route : routes) state.routes.push_back(RoutePort{route.tag, route.socksPort});
    state.running = true;
    state.stopRequested = false;
    state.latencyMs = -1;
    state.lastOkTick = ops.clock.nowMs();
    // The health thread gets only the clock and the sockets, copied: it may outlive this call's seam.
    state.healthThread = ops.processes.startThread(
        [&state, clock = ops.clock, network = ops.network] { healthProbeLoop(state, clock, network); });
    return {};
}

void healthProbeLoop(EngineState& state, const Clock& clock, const NetworkOps& network) {
    while (!state.stopRequested) {
        const int32_t latency = network.probeTcp(state.serverIp, static_cast<uint16_t>(state.serverPort),
                                             state.interfaceIndex, kHealthProbeTimeoutMs);
        state.latencyMs = latency;
        if (latency >= 0) state.lastOkTick = clock.nowMs();
        for (uint32_t i = 0; i < kHealthPauseSteps && !state.stopRequested; ++i) clock.sleepMs(kHealthPauseStepMs);
    }
}
