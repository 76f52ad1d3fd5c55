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

enum class TunnelPhase : int32_t { Idle = 0, Connecting = 1, Running = 2, Stopping = 3 };

// "idle", "connecting", "running", "stopping"
const char* phaseName(TunnelPhase phase);

inline constexpr const char* kStatusReady = "Готов.";
inline constexpr const char* kStatusStopping = "Отключаюсь…";
inline constexpr const char* kStatusDisconnected = "Отключено.";
inline constexpr const char* kStatusNeedsAdmin = "Для туннеля нужны права администратора.";
inline constexpr uint32_t kDefaultServerPort = 443;

// The running tunnel's engines. The handles are the platform's (HANDLE on Windows), owned and
// closed by the tunnel stop. The health-probe thread writes latencyMs and lastOkTick while the
// monitor reads them without the controller's lock, hence the atomics.
struct EngineState {
    void* xrayProcess = nullptr;
    void* singBoxProcess = nullptr;
    void* job = nullptr;
    void* healthThread = nullptr;
    std::atomic<bool> running{false};
    std::atomic<bool> stopRequested{false};
    std::atomic<int32_t> latencyMs{-1};
    std::atomic<uint64_t> lastOkTick{0};
    std::string serverAddress;  // host:port of the primary route
    std::string serverIp;
    uint32_t serverPort = kDefaultServerPort;
    uint32_t interfaceIndex = 0;  // 0: unbound
};

struct TunnelController {
    std::function<void()> onChanged;
    SystemOps system;
    std::mutex lock;
    EngineState engine;
    std::atomic<bool> stopFlag{false};
    std::atomic<bool> wantConnected{false};
    std::atomic<uint64_t> retryAt{0};  // tick of the next connect attempt; 0 = none
    void* monitorThread = nullptr;     // held for the bounded wait at shutdown
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
