// The tunnel controller: the one owner of the tunnel's state and of everything the page shows.
// Every field below `lock` is read and written only while it is held, except the atomics.
// onChanged is never called with the lock held.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "control/profile.h"
#include "control/system_ops.h"
#include "tunnel/engine_state.h"

enum class TunnelPhase : int32_t { Idle = 0, Connecting = 1, Running = 2, Stopping = 3 };

// "idle", "connecting", "running", "stopping"
const char* phaseName(TunnelPhase phase);

inline constexpr const char* kStatusReady = "Готов.";
inline constexpr const char* kStatusStopping = "Отключаюсь…";
inline constexpr const char* kStatusDisconnected = "Отключено.";
inline constexpr const char* kStatusNeedsAdmin = "Для туннеля нужны права администратора.";

// The longest a start, stop or switch waits for the tunnel: a stop takes the health thread's 3 s,
// sing-box's 6 s and xray's 0.5 s at most, and a start ends within one poll step of its cancel.
inline constexpr uint32_t kTunnelOwnerWaitMs = 20000;
// The shutdown's wait for the tunnel and then for the workers the controller started.
inline constexpr uint32_t kShutdownTunnelWaitMs = 15000;
inline constexpr uint32_t kShutdownWorkersWaitMs = 3000;

// A mutex with a bounded wait, built on try_lock: the clock-based wait of std::timed_mutex is a
// call the thread checker cannot see, so it would report every unlock as wrong. Contention is
// rare (a stop meeting a start), so a short poll costs nothing.
struct OwnerLock {
    std::mutex m;
    void lock() { m.lock(); }
    bool try_lock() { return m.try_lock(); }
    void unlock() { m.unlock(); }
    template <class Rep, class Period>
    bool try_lock_for(const std::chrono::duration<Rep, Period>& wait) {
        const auto deadline = std::chrono::steady_clock::now() + wait;
        while (!m.try_lock()) {
            if (std::chrono::steady_clock::now() >= deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return true;
    }
};

// Lock order: tunnelLock before lock, never the other way.
struct TunnelController {
    std::function<void()> onChanged;
    SystemOps system;
    // The one owner of the engine state: every tunnel start and stop runs while it is held.
    OwnerLock tunnelLock;
    std::mutex lock;
    EngineState engine;
    std::atomic<bool> stopFlag{false};
    std::atomic<bool> wantConnected{false};
    std::atomic<uint64_t> retryAt{0};  // tick of the next connect attempt; 0 = none
    PlatformHandle monitorThread;      // held for the bounded wait at shutdown
    uint32_t uiThreadId = 0;
    bool profileReady = false;
    TunnelPhase phase = TunnelPhase::Idle;
    std::string status = kStatusReady;
    bool error = false;
    ServiceProfile profile;
    ServiceProfile activeProfile;
    UpdateOffer update;
    std::string alert;
    bool attentionRequested = false;
    // The workers started through startWorker that have not ended; guarded by workersLock.
    std::mutex workersLock;
    std::condition_variable workersEnded;
    int workers = 0;

    TunnelController(std::function<void()> onChanged, uint32_t uiThreadId, SystemOps system);
    TunnelController(const TunnelController&) = delete;
    TunnelController& operator=(const TunnelController&) = delete;

    // Runs the work on a new detached thread, counted until it ends; when none can be started the
    // work is dropped silently.
    void startWorker(std::function<void()> work);
    TunnelPhase readPhase();
    void startConnect();
    void startDisconnect();
    void reportFailure(const std::string& text);
    void startUpdate();
    void dismissAlert();
    // Raises the start's cancel flag, then stops the tunnel as its owner.
    void disconnect(const std::string& message, bool isError);
    // A switch or settings reconnect: the disconnect with the message, then the connect procedure
    // unless the user's stop came meanwhile (the status then says "Отключено.").
    void reconnect(const std::string& message);
    void setUpdateProgress(double fraction);
    // Calls onChanged; the caller must not hold the lock.
    void notify();
};

// The portable part of the program's end: raises the stop flag and every start's cancel, lets
// waitMonitor wait for the monitor thread (true when it ended), stops the tunnel as its owner within
// a bound and waits a bounded time for the controller's workers. True when nothing can touch the
// controller any more, so it may be deleted.
bool shutdownTunnel(TunnelController& controller, const std::function<bool()>& waitMonitor);
