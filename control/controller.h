// The tunnel controller: the one owner of the tunnel's state and of everything the page shows.
// Every field below `lock` is read and written only while it is held, except the atomics.
// onChanged is never called with the lock held.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

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

struct TunnelController {
    std::function<void()> onChanged;
    SystemOps system;
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

    TunnelController(std::function<void()> onChanged, uint32_t uiThreadId, SystemOps system);
    TunnelController(const TunnelController&) = delete;
    TunnelController& operator=(const TunnelController&) = delete;

    // Runs the work on a new detached thread; when none can be started the work is dropped silently.
    void startWorker(std::function<void()> work);
    TunnelPhase readPhase();
    void startConnect();
    void startDisconnect();
    void reportFailure(const std::string& text);
    void startUpdate();
    void dismissAlert();
    void disconnect(const std::string& message, bool isError);
    void setUpdateProgress(double fraction);
    // Calls onChanged; the caller must not hold the lock.
    void notify();
};
