// The running tunnel: its two engine processes, their job, the health-probe thread and what that
// thread measures. Held by the controller for the program's lifetime; filled by the tunnel start
// and emptied by the tunnel stop.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "foundation/handle.h"

inline constexpr uint32_t kDefaultServerPort = 443;

// One SOCKS inbound of the running tunnel.
struct RoutePort {
    std::string tag;  // "rest" or "apps"
    int32_t socksPort = 0;
};

// What the liveness check through the tunnel last found.
enum class Liveness : int32_t { Unchecked = 0, Ok = 1, Failed = 2, Off = 3 };

// Servers that connected but carried no traffic, by link, with the tick until which the server
// choice passes them over. Written by the monitor, read by the connect procedure.
struct NoTrafficServers {
    std::mutex lock;
    std::map<std::string, uint64_t> until;
};

// The health-probe thread writes latencyMs and lastOkTick while the monitor reads them without the
// controller's lock, hence the atomics.
struct EngineState {
    PlatformHandle xrayProcess;
    PlatformHandle singBoxProcess;
    PlatformHandle job;
    PlatformHandle healthThread;
    PlatformHandle livenessThread;  // same lifetime and stop as the health thread
    // The engine folder, the engine files and "tun.json", each held so that nobody can change,
    // rename or delete it, from their check until the engines have exited.
    std::vector<PlatformHandle> heldFiles;
    std::atomic<bool> running{false};
    std::atomic<bool> stopRequested{false};
    // Raised by a stop request: a start in progress ends within one poll step, leaving nothing
    // running. Lowered by the connect that begins the next start.
    std::atomic<bool> cancel{false};
    std::atomic<int32_t> latencyMs{-1};
    std::atomic<uint64_t> lastOkTick{0};
    std::atomic<Liveness> liveness{Liveness::Unchecked};
    // When the second try of the last failed check began: a probe that answered since then
    // answered while the path carried nothing.
    std::atomic<uint64_t> livenessRetryTick{0};
    std::atomic<bool> noTrafficReported{false};  // the single-server case is logged once per tunnel
    NoTrafficServers noTraffic;                  // outlives the tunnels
    std::string serverAddress;  // host:port of the primary route
    std::string serverIp;
    uint32_t serverPort = kDefaultServerPort;
    uint32_t interfaceIndex = 0;  // 0: unbound
    std::vector<RoutePort> routes;  // "rest" first; set once the routes are decided, cleared by the stop
};
