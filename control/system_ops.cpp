#include "control/system_ops.h"

#include <memory>

#include "control/profile.h"
#include "tunnel/tunnel.h"

TunnelProcedures tunnelProceduresOver(const TunnelOps& tunnel) {
    auto ops = std::make_shared<const TunnelOps>(tunnel);
    TunnelProcedures p;
    p.start = [ops](EngineState& state, const ServiceProfile& profile) {
        return startTunnel(state, tunnelRequest(profile), *ops);
    };
    p.stop = [ops](EngineState& state) { stopTunnel(state, *ops); };
    p.enginesAlive = [ops](const EngineState& state) { return enginesAlive(state, *ops); };
    p.scanEngineLog = [ops] { return scanEngineLog(*ops); };
    return p;
}

SystemOps systemOpsOver(const TunnelOps& tunnel) {
    SystemOps s;
    s.clock = tunnel.clock;
    s.log = tunnel.log;
    s.network = tunnel.network;
    s.adapters = tunnel.adapters;
    s.conflicts = tunnel.conflicts;
    s.tunnel = tunnelProceduresOver(tunnel);
    return s;
}
