#include "tunnel/tunnel.h"

#include <algorithm>
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

namespace {

// The line without carriage returns and escape sequences (ESC up to and including the next ASCII
// letter; an unfinished sequence runs to the end).
std::string cleanLogLine(const std::string& line) {
    std::string cleaned;
    cleaned.reserve(line.size());
    for (size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (c == '\r') continue;
        if (c == '\x1b') {
            while (i + 1 < line.size()) {
                const char n = line[++i];
                if ((n >= 'A' && n <= 'Z') || (n >= 'a' && n <= 'z')) break;
            }
            continue;
        }
        cleaned.push_back(c);
    }
    return cleaned;
}

bool startsWith(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

// "host:port" or "tcp:host:port": ends in a colon and digits.
bool looksLikeEndpoint(const std::string& word) {
    const size_t colon = word.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == word.size()) return false;
    for (size_t i = colon + 1; i < word.size(); ++i) {
        if (word[i] < '0' || word[i] > '9') return false;
    }
    return true;
}

// xray's access lines: "[time] [from ]SOURCE accepted|rejected DESTINATION [IN >> OUT] ...". They
// name destinations the user visited, so no part of them is ever a reason. A tail cut inside such a
// line still ends in the detour bracket. Lines with a severity tag are log lines, not access lines.
bool isAccessLine(const std::string& line) {
    for (const char* tag : {"[Debug]", "[Info]", "[Warning]", "[Error]"}) {
        if (line.find(tag) != std::string::npos) return false;
    }
    for (const char* status : {" accepted ", " rejected "}) {
        for (size_t at = line.find(status); at != std::string::npos && at > 0; at = line.find(status, at + 1)) {
            const size_t space = line.rfind(' ', at - 1);
            const size_t from = space == std::string::npos ? 0 : space + 1;
            if (looksLikeEndpoint(line.substr(from, at - from))) return true;
        }
    }
    const size_t open = line.rfind('[');
    const size_t close = open == std::string::npos ? open : line.find(']', open);
    if (close == std::string::npos) return false;
    const std::string detour = line.substr(open + 1, close - open - 1);
    return detour.find(" >> ") != std::string::npos || detour.find(" -> ") != std::string::npos;
}

// sing-box's level word at the start of a line, as in "ERROR[0012] ..." once the colour is gone.
bool singBoxErrorLevel(const std::string& line) {
    for (const char* level : {"ERROR[", "FATAL[", "PANIC["}) {
        if (startsWith(line, level)) return true;
    }
    return false;
}

bool isErrorLine(const std::string& line) {
    const std::string lower = lowerAscii(line);
    return lower.find("fatal") != std::string::npos || lower.find("[error]") != std::string::npos ||
           startsWith(line, "Failed to start: ") || startsWith(line, "panic: ") || singBoxErrorLevel(line);
}

// xray 26.1.13 and later log "REALITY: received real certificate …" at Error level; 25.7.23 to
// 25.12.8 print only "REALITY localAddr: <addr>\tDialTLSContext" when they fall back to the decoy
// site. Neither ends xray.
bool isRealityMismatchLine(const std::string& line) {
    return line.find("received real certificate") != std::string::npos ||
           (startsWith(line, "REALITY localAddr: ") && line.find("DialTLSContext") != std::string::npos);
}

}  // namespace

std::string engineLogReason(const std::string& tail) {
    std::string candidate;
    size_t start = 0;
    while (start <= tail.size()) {
        size_t end = tail.find('\n', start);
        if (end == std::string::npos) end = tail.size();
        const std::string line = cleanLogLine(tail.substr(start, end - start));
        start = end + 1;
        if (isAccessLine(line)) continue;
        if (isRealityMismatchLine(line)) return kMsgRealityMismatch;
        if (isErrorLine(line)) candidate = line;
    }
    if (candidate.size() > kEngineReasonMaxBytes) candidate.resize(kEngineReasonMaxBytes);
    return candidate;
}

bool waitForLocalPort(int32_t port, const PlatformHandle& xray, const TunnelOps& ops, const std::atomic<bool>* cancel) {
    const uint64_t t0 = ops.clock.nowMs();
    for (;;) {
        if (cancel && cancel->load()) return false;
        // xray opens its ports before its outbounds start and may still exit after that.
        const bool ready = ops.network.probeTcp("127.0.0.1", static_cast<uint16_t>(port), 0, kLocalPortProbeMs) >= 0;
        if (!ops.processes.processRunning(xray)) return false;  // its reason is in the log already
        if (ready) return true;
        ops.clock.sleepMs(kLocalPortPollMs);
        if (ops.clock.nowMs() - t0 >= ops.timeouts.localPortWaitMs) return false;
    }
}

AdapterWait waitForTunnelAdapter(const PlatformHandle& singBox, const TunnelOps& ops, const std::atomic<bool>* cancel) {
    const uint64_t t0 = ops.clock.nowMs();
    while (singBox && ops.processes.processRunning(singBox)) {
        if (cancel && cancel->load()) return AdapterWait::Cancelled;
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
    if (state.livenessThread) {
        ops.processes.joinThread(state.livenessThread, kHealthThreadJoinMs);
        state.livenessThread.reset();
    }
    ops.processes.stopEngineProcess(state.singBoxProcess, kSingBoxStopGraceMs);
    ops.processes.stopEngineProcess(state.xrayProcess, kXrayStopGraceMs);
    state.job.reset();  // kill-on-close ends anything still in it
    state.heldFiles.clear();
    ops.folder.deleteTunConfig();
    state.latencyMs = -1;
    state.liveness = Liveness::Unchecked;
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
            for (uint32_t slept = 0; slept < kSingBoxRetryPauseMs && !state.cancel;) {
                const uint32_t step = std::min(kAdapterPollMs, kSingBoxRetryPauseMs - slept);
                ops.clock.sleepMs(step);
                slept += step;
            }
        }
        if (state.cancel) {
            stopTunnel(state, ops);
            return kMsgStartCancelled;
        }
        state.singBoxProcess = ops.processes.launchEngine("sing-box.exe", arguments, nullptr, state.job);
        if (!state.singBoxProcess) break;
        const AdapterWait outcome = waitForTunnelAdapter(state.singBoxProcess, ops, &state.cancel);
        if (outcome == AdapterWait::Up) return {};
        if (outcome == AdapterWait::Cancelled) {
            stopTunnel(state, ops);
            return kMsgStartCancelled;
        }
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
        if (state.cancel) return kMsgStartCancelled;
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

    state.heldFiles.clear();
    const std::string filesMessage = ops.folder.ensureEngineFiles(state.heldFiles);
    if (!filesMessage.empty()) {
        state.heldFiles.clear();
        return filesMessage;
    }
    ops.processes.killLeftoverEngines();
    ops.folder.deleteEngineLog();

    std::vector<ServerRoute> routes;
    if (useRest) routes.push_back(rest);
    if (useApps) routes.push_back(apps);

    std::string xrayConfig;
    const std::string configError = buildXrayConfig(routes, adapterName, xrayConfig, ops.network.resolveIPv4);
    if (!configError.empty()) {
        state.heldFiles.clear();
        return kMsgBadKeyPrefix + configError;
    }

    if (state.cancel) {
        state.heldFiles.clear();
        return kMsgStartCancelled;
    }
    state.job = ops.processes.createJob();
    state.xrayProcess = ops.processes.launchEngine("xray-core.exe", "run -c stdin:", &xrayConfig, state.job);
    if (!state.xrayProcess || !waitForLocalPort(routes.front().socksPort, state.xrayProcess, ops, &state.cancel)) {
        const std::string reason = state.cancel ? std::string() : scanEngineLog(ops);
        stopTunnel(state, ops);
        return state.cancel ? std::string(kMsgStartCancelled) : kMsgXrayFailedPrefix + reason;
    }

    const std::optional<ServerRoute> appsRoute = useApps ? std::optional<ServerRoute>(apps) : std::nullopt;
    const std::optional<ServerRoute> restRoute = useRest ? std::optional<ServerRoute>(rest) : std::nullopt;
    ops.folder.writeTunConfig(buildSingBoxConfig(adapterName, appsRoute, buildProcessList(request.apps), restRoute),
                              state.heldFiles);

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
    if (!state.healthThread) {
        // Without its probe the monitor would take the server for silent 7 s later.
        ops.log("health thread not started, stopping the engines");
        stopTunnel(state, ops);
        return kMsgHealthThreadFailed;
    }
    state.liveness = Liveness::Unchecked;
    state.noTrafficReported = false;
    if (!ops.livenessHost.empty() && !state.routes.empty()) {
        state.livenessThread = ops.processes.startThread(
            [&state, clock = ops.clock, network = ops.network, log = ops.log, host = ops.livenessHost] {
                livenessLoop(state, clock, network, log, host);
            });
        // Without it the tunnel works as before; only the check is missing.
        if (!state.livenessThread) ops.log("liveness thread not started, the check is off");
    }
    return {};
}

namespace {

// Sleeps ms in steps of 100 ms; false as soon as the stop is requested.
bool pauseUnlessStopped(const EngineState& state, const Clock& clock, uint32_t ms) {
    for (uint32_t slept = 0; slept < ms && !state.stopRequested; slept += kHealthPauseStepMs) {
        clock.sleepMs(kHealthPauseStepMs);
    }
    return !state.stopRequested;
}

}  // namespace

void livenessLoop(EngineState& state, const Clock& clock, const NetworkOps& network, const LogSink& log,
                  const std::string& host) {
    const uint16_t socksPort = static_cast<uint16_t>(state.routes.front().socksPort);
    const std::function<bool()> stop = [&state] { return state.stopRequested.load(); };
    const auto check = [&] {
        return network.fetchThroughSocks(socksPort, host, kLivenessPort, kLivenessPath, FetchLimits{}, stop);
    };
    if (!pauseUnlessStopped(state, clock, kLivenessFirstMs)) return;
    uint64_t goodSince = 0;  // the first of the good checks in a row; 0 after a failure
    while (!state.stopRequested) {
        FetchResult r = check();
        if (r.outcome == FetchOutcome::Failed && !state.stopRequested) {
            log("liveness check failed (" + r.detail + "), trying again");
            state.livenessRetryTick = clock.nowMs();
            r = check();
        }
        if (state.stopRequested) return;
        if (r.outcome == FetchOutcome::NotOffered) {
            log("liveness check off until the next connect: the service answered " + std::to_string(r.status) +
                " to " + kLivenessPath);
            state.liveness = Liveness::Off;
            return;
        }
        const bool ok = r.outcome == FetchOutcome::Ok;
        if (!ok) log("liveness check failed twice (" + r.detail + ")");
        state.liveness = ok ? Liveness::Ok : Liveness::Failed;
        const uint64_t now = clock.nowMs();
        if (!ok) goodSince = 0;
        else if (goodSince == 0) goodSince = now;
        const bool calm = goodSince != 0 && now - goodSince >= kLivenessCalmAfterMs;
        if (!pauseUnlessStopped(state, clock, calm ? kLivenessCalmIntervalMs : kLivenessIntervalMs)) return;
    }
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
