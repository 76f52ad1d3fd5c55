// The one seam between the control layer and the system. The shell fills it with the Windows
// functions (platformSystemOps plus the procedures of the tunnel, conflict and update modules);
// tests fill it with fakes and a fake clock. Nothing in the control layer sleeps, reads the tick
// count, starts a thread or touches the system except through here.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "foundation/clock.h"

struct TunnelController;
struct EngineState;
struct ServiceProfile;


struct SystemOps {
    Clock clock;
    // Runs the work on a new detached thread that owns it. False: no thread, the work is dropped.
    std::function<bool(std::function<void()>)> startThread;
    std::function<void(const std::string&)> log;

    // Procedures of other modules; an empty slot does nothing (or reports nothing found).
    // The connect procedure: idle -> connecting -> running or idle, on the calling thread.
    std::function<void(TunnelController&)> connect;
    // The update procedure with the copied link and digest; reports progress through
    // TunnelController::setUpdateProgress.
    std::function<void(TunnelController&, const std::string& url, const std::string& sha256)> applyUpdate;
    // Starts the tunnel for a profile whose primaryLink is the chosen server; the user's message or
    // empty on success. Fills the engine state.
    std::function<std::string(EngineState&, const ServiceProfile&)> startTunnel;
    // Stops the health probe and both engines, waiting for them; empties the engine state.
    std::function<void(EngineState&)> stopTunnel;
    // True while both engine processes of the running tunnel are alive.
    std::function<bool(const EngineState&)> enginesAlive;
    // A short reason from the engine log after an engine ended, or empty.
    std::function<std::string()> scanEngineLog;
    // The name of a conflicting program or foreign tunnel adapter, or empty.
    std::function<std::string()> detectConflict;
    // IPv4 interface index of the physical Internet adapter; false when there is none.
    std::function<bool(uint32_t& interfaceIndex)> findInternetAdapter;
    // The host resolved to IPv4 text (the host itself when it does not resolve).
    std::function<std::string(const std::string& host)> resolveIPv4;
    // Milliseconds to connect over the interface (0 = unbound), at least 1; -1 on failure.
    std::function<int32_t(const std::string& address, uint32_t port, uint32_t interfaceIndex,
                          uint32_t timeoutMs)> probeTcp;
    // Executable file names of the running processes; false when the list cannot be taken.
    std::function<bool(std::vector<std::string>& names)> listProcesses;
};

// The real clock, thread start and log of this platform (Windows: GetTickCount64, Sleep,
// CreateThread, logLine). The procedure slots stay empty; the program entry fills them.
SystemOps platformSystemOps();

#ifdef _WIN32
// Every slot but applyUpdate filled with the real procedures of the tunnel, conflict and probe
// modules, over platformSystemOps (system_ops_win.cpp). The update module fills applyUpdate.
SystemOps windowsSystemOps();
#endif
