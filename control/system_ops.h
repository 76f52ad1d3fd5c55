// The one seam between the control layer and the system, grouped by what each part stands for.
// The program's entry builds it once (windowsSystemOps over the tunnel seam it built) and hands it
// to the controller; tests fill only the groups they script. Every slot has a default that finds
// nothing or does nothing, so no caller ever meets an empty one. Nothing in the control layer
// sleeps, reads the tick count, starts a thread or touches the system except through here.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "conflicts/adapters.h"
#include "conflicts/conflicts.h"
#include "foundation/clock.h"
#include "foundation/log.h"
#include "foundation/net_ops.h"
#include "foundation/process_ops.h"

struct TunnelController;
struct EngineState;
struct ServiceProfile;
struct TunnelOps;

// control/connect.h: the default connect procedure.
void runConnect(TunnelController& controller);

// The tunnel module's procedures, called upward through the seam.
struct TunnelProcedures {
    // Starts the tunnel for a profile whose primaryLink is the chosen server and fills the engine
    // state; the user's message or empty on success. Default: starts nothing and succeeds.
    std::function<std::string(EngineState&, const ServiceProfile&)> start = [](EngineState&, const ServiceProfile&) {
        return std::string();
    };
    // Stops the health probe and both engines, waiting for them; empties the engine state.
    std::function<void(EngineState&)> stop = [](EngineState&) {};
    // True while both engine processes of the running tunnel are alive (default: true).
    std::function<bool(const EngineState&)> enginesAlive = [](const EngineState&) { return true; };
    // A short reason from the engine log after an engine ended, or empty.
    std::function<std::string()> scanEngineLog = [] { return std::string(); };
};

// The procedures the controller's workers run.
struct ControlProcedures {
    // idle -> connecting -> running or idle, on the calling thread.
    std::function<void(TunnelController&)> connect = runConnect;
    // The update with the copied link and digest; reports progress through
    // TunnelController::setUpdateProgress. Default: does nothing (a build without updates).
    std::function<void(TunnelController&, const std::string& url, const std::string& sha256)> applyUpdate =
        [](TunnelController&, const std::string&, const std::string&) {};
};

struct SystemOps {
    Clock clock;
    LogSink log = dropLogLine;
    ProcessOps processes;
    NetworkOps network;
    AdapterOps adapters;  // the server choice asks for the Internet adapter
    ConflictOps conflicts;
    TunnelProcedures tunnel;
    ControlProcedures procedures;
};

// The tunnel procedures over a tunnel seam, which they keep (portable, system_ops.cpp).
TunnelProcedures tunnelProceduresOver(const TunnelOps& tunnel);
// The control seam that shares the tunnel seam's clock, log, network, adapters and conflicts and
// runs the tunnel procedures over it; the processes group and applyUpdate keep their defaults.
SystemOps systemOpsOver(const TunnelOps& tunnel);

// This platform's detached worker start (Windows: CreateThread; elsewhere pthreads).
ProcessOps platformProcessOps();

#ifdef _WIN32
// systemOpsOver the given tunnel seam with the platform's workers (system_ops_win.cpp). The entry
// adds the update procedure.
SystemOps windowsSystemOps(const TunnelOps& tunnel);
#endif
