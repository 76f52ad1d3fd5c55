#include "control/controller.h"

#include <chrono>
#include <cmath>
#include <utility>

const char* phaseName(TunnelPhase phase) {
    switch (phase) {
    case TunnelPhase::Idle: return "idle";
    case TunnelPhase::Connecting: return "connecting";
    case TunnelPhase::Running: return "running";
    case TunnelPhase::Stopping: return "stopping";
    }
    return "idle";
}

TunnelController::TunnelController(std::function<void()> onChangedCallback, uint32_t uiThread,
                                   SystemOps systemOps)
    : onChanged(std::move(onChangedCallback)), system(std::move(systemOps)), uiThreadId(uiThread) {}

void TunnelController::notify() {
    if (onChanged) onChanged();
}

namespace {

void workerEnded(TunnelController& c) {
    // Notified under the lock: once the shutdown sees the count reach zero, nothing here is touched.
    std::lock_guard<std::mutex> hold(c.workersLock);
    --c.workers;
    c.workersEnded.notify_all();
}

}  // namespace

void TunnelController::startWorker(std::function<void()> work) {
    if (!work) return;
    {
        std::lock_guard<std::mutex> hold(workersLock);
        ++workers;
    }
    const bool started = system.processes.startWorker([this, work = std::move(work)] {
        work();
        workerEnded(*this);
    });
    if (!started) workerEnded(*this);
}

TunnelPhase TunnelController::readPhase() {
    std::lock_guard<std::mutex> hold(lock);
    return phase;
}

void TunnelController::startConnect() {
    wantConnected.exchange(true);
    startWorker([this] {
        system.procedures.connect(*this);
    });
}

void TunnelController::startDisconnect() {
    wantConnected.exchange(false);
    retryAt.exchange(0);
    startWorker([this] { disconnect(kStatusDisconnected, false); });
}

void TunnelController::reportFailure(const std::string& text) {
    {
        std::lock_guard<std::mutex> hold(lock);
        status = text;
        error = true;
    }
    notify();
}

void TunnelController::startUpdate() {
    std::string url, sha256;
    {
        std::lock_guard<std::mutex> hold(lock);
        if (update.url.empty() || update.progress >= 0) return;
        url = update.url;
        sha256 = update.sha256;
        update.progress = 0;
    }
    notify();
    startWorker([this, url = std::move(url), sha256 = std::move(sha256)] {
        system.procedures.applyUpdate(*this, url, sha256);
    });
}

void TunnelController::dismissAlert() {
    {
        std::lock_guard<std::mutex> hold(lock);
        alert.clear();
    }
    notify();
}

void TunnelController::disconnect(const std::string& message, bool isError) {
    {
        std::lock_guard<std::mutex> hold(lock);
        if (phase != TunnelPhase::Connecting && phase != TunnelPhase::Running) {
            // Nothing to stop; a failure found after the tunnel is gone still reaches the status
            // line, picked up by the next timed snapshot.
            if (!message.empty() && isError) {
                status = message;
                error = true;
            }
            return;
        }
        phase = TunnelPhase::Stopping;
        status = kStatusStopping;
        error = false;
        engine.cancel = true;  // a start in progress ends and lets go of the tunnel
    }
    notify();
    {
        std::unique_lock<OwnerLock> owner(tunnelLock, std::defer_lock);
        if (owner.try_lock_for(std::chrono::milliseconds(kTunnelOwnerWaitMs))) {
            system.tunnel.stop(engine);
        } else {
            system.log("tunnel stop skipped: a start or stop kept the tunnel for 20 s");
        }
        std::lock_guard<std::mutex> hold(lock);
        phase = TunnelPhase::Idle;
        status = message.empty() ? std::string(kStatusReady) : message;
        error = isError;
    }
    notify();
}

void TunnelController::reconnect(const std::string& message) {
    disconnect(message, false);
    if (wantConnected.load() && !stopFlag.load()) {
        system.procedures.connect(*this);
        return;
    }
    // The user's stop came while the tunnel went down: it wins over the reconnect.
    {
        std::lock_guard<std::mutex> hold(lock);
        if (phase == TunnelPhase::Idle) {
            status = kStatusDisconnected;
            error = false;
        }
    }
    notify();
}

void TunnelController::setUpdateProgress(double fraction) {
    // A download without a usable length may report anything; keep the percentage in 0..100
    // (and never convert a NaN or an out-of-range double to an integer).
    if (!(fraction >= 0.0)) fraction = 0.0;
    if (fraction > 1.0) fraction = 1.0;
    const int32_t percent = static_cast<int32_t>(std::trunc(fraction * 100.0));
    bool changed = false;
    {
        std::lock_guard<std::mutex> hold(lock);
        changed = update.progress != percent;
        update.progress = percent;
    }
    if (changed) notify();
}

bool shutdownTunnel(TunnelController& c, const std::function<bool()>& waitMonitor) {
    {
        std::lock_guard<std::mutex> hold(c.lock);
        c.stopFlag = true;
        c.wantConnected = false;
        c.retryAt = 0;
        c.engine.cancel = true;
    }
    const bool monitorEnded = waitMonitor ? waitMonitor() : true;
    bool stopped = false;
    {
        std::unique_lock<OwnerLock> owner(c.tunnelLock, std::defer_lock);
        stopped = owner.try_lock_for(std::chrono::milliseconds(kShutdownTunnelWaitMs));
        if (stopped) {
            c.system.tunnel.stop(c.engine);
            std::lock_guard<std::mutex> hold(c.lock);
            if (c.phase != TunnelPhase::Idle) {
                c.phase = TunnelPhase::Idle;
                c.status = kStatusDisconnected;
                c.error = false;
            }
        } else {
            c.system.log("shutdown: the tunnel stayed busy, its engines end with the job");
        }
    }
    c.notify();
    bool workersEnded = false;
    {
        std::unique_lock<std::mutex> hold(c.workersLock);
        workersEnded = c.workersEnded.wait_for(hold, std::chrono::milliseconds(kShutdownWorkersWaitMs),
                                               [&c] { return c.workers == 0; });
    }
    if (!workersEnded) c.system.log("shutdown: a worker still runs, the controller is kept");
    return monitorEnded && stopped && workersEnded;
}
