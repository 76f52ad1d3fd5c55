// The running tunnel: its two engine processes, their job, the health-probe thread and what that
// thread measures. Held by the controller for the program's lifetime; filled by the tunnel start
// and emptied by the tunnel stop.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

// One owned platform handle (a HANDLE on Windows): closed once, by whoever holds it last, with the
// closer the platform code gave it (none for the made-up handles of tests).
struct PlatformHandle {
    void* h = nullptr;
    void (*closer)(void*) = nullptr;

    PlatformHandle() = default;
    explicit PlatformHandle(void* handle, void (*close)(void*) = nullptr) : h(handle), closer(close) {}
    PlatformHandle(PlatformHandle&& o) noexcept
        : h(std::exchange(o.h, nullptr)), closer(std::exchange(o.closer, nullptr)) {}
    PlatformHandle& operator=(PlatformHandle&& o) noexcept {
        if (this != &o) {
            reset();
            h = std::exchange(o.h, nullptr);
            closer = std::exchange(o.closer, nullptr);
        }
        return *this;
    }
    PlatformHandle(const PlatformHandle&) = delete;
    PlatformHandle& operator=(const PlatformHandle&) = delete;
    ~PlatformHandle() { reset(); }

    void reset() {
        void* old = std::exchange(h, nullptr);
        if (old && closer) closer(old);
        closer = nullptr;
    }
    void* get() const { return h; }
    explicit operator bool() const { return h != nullptr; }
};

inline constexpr uint32_t kDefaultServerPort = 443;

// One SOCKS inbound of the running tunnel.
struct RoutePort {
    std::string tag;  // "rest" or "apps"
    int32_t socksPort = 0;
};

// The health-probe thread writes latencyMs and lastOkTick while the monitor reads them without the
// controller's lock, hence the atomics.
struct EngineState {
    PlatformHandle xrayProcess;
    PlatformHandle singBoxProcess;
    PlatformHandle job;
    PlatformHandle healthThread;
    std::atomic<bool> running{false};
    std::atomic<bool> stopRequested{false};
    std::atomic<int32_t> latencyMs{-1};
    std::atomic<uint64_t> lastOkTick{0};
    std::string serverAddress;  // host:port of the primary route
    std::string serverIp;
    uint32_t serverPort = kDefaultServerPort;
    uint32_t interfaceIndex = 0;  // 0: unbound
    std::vector<RoutePort> routes;  // "rest" first; set once the routes are decided, cleared by the stop
};
