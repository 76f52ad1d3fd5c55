#include "control/monitor.h"

#include <mutex>

namespace {

uint64_t now(const TunnelController& c) { return c.system.clock.nowMs(); }

void pause(const TunnelController& c, uint32_t ms) { c.system.clock.sleepMs(ms); }

std::string findConflict(const TunnelController& c) { return c.system.conflicts.detect(); }

void connectAgain(TunnelController& c) { c.system.procedures.connect(c); }

// The engine that ended may have been killed by a program that is only now starting; give the
// conflict scan a few chances to name it before blaming the engine.
void reactToEngineEnd(TunnelController& c) {
    std::string name;
    for (int attempt = 0; attempt < kConflictAttemptsAfterEngineEnd; ++attempt) {
        name = findConflict(c);
        if (!name.empty()) break;
        pause(c, kConflictAttemptPauseMs);
    }
    if (!name.empty()) {
        reactToConflict(c, name);
        return;
    }
    const std::string reason = c.system.tunnel.scanEngineLog();
    c.disconnect(kStatusEngineStopped + reason, true);
}

// True when the server has been silent too long and the switch ran.
bool switchSilentServer(TunnelController& c, uint64_t tick) {
    if (!c.engine.running.load()) return false;
    const uint64_t lastOk = c.engine.lastOkTick.load();
    if (tick <= lastOk || tick - lastOk <= kServerSilenceMs) return false;
    size_t servers = 0;
    {
        std::lock_guard<std::mutex> hold(c.lock);
        servers = c.activeProfile.servers.size();
    }
    // With a single server there is nowhere to go; the page shows the failed ping meanwhile.
    if (servers < 2) return false;
    c.system.log("server " + c.engine.serverAddress + " stopped answering, switching");
    // A REALITY mismatch leaves xray running; its trace in the engine log is named at the switch.
    const std::string reason = c.system.tunnel.scanEngineLog();
    const bool mismatch = reason == kMsgRealityMismatch;
    if (mismatch) c.system.log("server " + c.engine.serverAddress + " answered with its decoy site: REALITY mismatch");
    c.reconnect(mismatch ? reason : std::string(kStatusServerSilent));
    return true;
}

// The server answers its health probe but the liveness check through the tunnel failed twice:
// with another server to go to, the switch runs as for a silent server and this one is passed over
// for a while; alone, it stays up and the log says so once. True when the switch ran.
bool switchServerWithoutTraffic(TunnelController& c, uint64_t tick) {
    EngineState& e = c.engine;
    if (!e.running.load() || e.liveness.load() != Liveness::Failed) return false;
    // The server must have answered a probe while the check's second try went on or since: a
    // server that went down meanwhile is the silence switch's business, after its own 7 s.
    if (e.lastOkTick.load() < e.livenessRetryTick.load()) return false;
    size_t servers = 0;
    std::string link;
    {
        std::lock_guard<std::mutex> hold(c.lock);
        servers = c.activeProfile.servers.size();
        link = c.activeProfile.primaryLink;
    }
    if (servers < 2) {
        if (!e.noTrafficReported.exchange(true)) {
            c.system.log("server " + e.serverAddress + " carries no traffic; it is the only server, staying connected");
        }
        return false;
    }
    c.system.log("server " + e.serverAddress + " carries no traffic, switching");
    {
        std::lock_guard<std::mutex> hold(e.noTraffic.lock);
        e.noTraffic.until[link] = tick + kNoTrafficSkipMs;
    }
    c.reconnect(kStatusServerSilent);
    return true;
}

// The checks while the tunnel runs, in order; true when one of them acted.
bool watchRunningTunnel(TunnelController& c, MonitorState& state) {
    if (!c.system.tunnel.enginesAlive(c.engine)) {
        reactToEngineEnd(c);
        return true;
    }
    const uint64_t tick = now(c);
    if (switchSilentServer(c, tick)) return true;
    if (switchServerWithoutTraffic(c, tick)) return true;
    if (tick >= state.nextConflictCheck) {
        state.nextConflictCheck = tick + kConflictScanIntervalMs;
        const std::string name = findConflict(c);
        if (!name.empty()) {
            reactToConflict(c, name);
            return true;
        }
    }
    return false;
}

// The retry the connect procedure asked for when no server answered; a stop clears retryAt,
// and the exchange keeps a stop that lands meanwhile from being undone.
bool runDueRetry(TunnelController& c) {
    if (!c.wantConnected.load()) return false;
    uint64_t due = c.retryAt.load();
    if (due == 0 || now(c) < due) return false;
    if (!c.retryAt.compare_exchange_strong(due, 0)) return false;
    connectAgain(c);
    return true;
}

// A new document is taken and checked; without one, a change that arrived while connecting is
// applied once the tunnel runs.
void takeProfile(TunnelController& c, ProfileSource& source, TunnelPhase phase) {
    JsonValue document;
    if (source.take && source.take(document)) {
        applyProfileDocument(c, document);
        checkProfileChange(c);  // notifies, whether or not it reconnected
        return;
    }
    if (phase == TunnelPhase::Running) reconnectOnProfileChange(c);
}

}  // namespace

void reactToConflict(TunnelController& c, const std::string& programName) {
    c.system.log("conflicting program detected while connected: " + programName);
    c.wantConnected.exchange(false);
    c.retryAt.exchange(0);
    c.disconnect("Отключено: запущена программа «" + programName + "».", true);
    {
        std::lock_guard<std::mutex> hold(c.lock);
        c.alert = "Вы запустили VPN-программу «" + programName +
                  "». VELMORANTE отключился: он не работает одновременно с VPN. Закройте её и подключитесь снова.";
        c.attentionRequested = true;
    }
    c.notify();
}

void monitorPass(TunnelController& c, ProfileSource& source, MonitorState& state) {
    pause(c, kMonitorPassMs);
    const TunnelPhase phase = c.readPhase();
    if (phase == TunnelPhase::Running && watchRunningTunnel(c, state)) return;
    if (phase == TunnelPhase::Idle && runDueRetry(c)) return;
    takeProfile(c, source, phase);
}

uint32_t monitorLoop(TunnelController& c, ProfileSource& source) {
    MonitorState state;
    while (!c.stopFlag.load()) monitorPass(c, source, state);
    return 0;
}
