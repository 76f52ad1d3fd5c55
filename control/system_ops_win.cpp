#include <windows.h>

#include <memory>
#include <utility>

#include "conflicts/adapters.h"
#include "conflicts/conflicts.h"
#include "control/connect.h"
#include "control/controller.h"
#include "control/system_ops.h"
#include "foundation/process_win.h"
#include "foundation/log.h"
#include "foundation/text.h"
#include "foundation/net.h"
#include "tunnel/tunnel.h"

namespace {

bool listProcessNames(std::vector<std::string>& names) {
    const std::shared_ptr<const ProcessList> list = recentProcesses();
    if (!list) return false;
    names.clear();
    for (const ProcessRecord& p : *list) names.push_back(p.exeName);
    return true;
}

}  // namespace

SystemOps windowsSystemOps() {
    SystemOps ops = platformSystemOps();
    ops.connect = [](TunnelController& controller) { runConnect(controller); };
    ops.startTunnel = [](EngineState& state, const ServiceProfile& profile) {
        return startTunnel(state, tunnelRequest(profile));
    };
    ops.stopTunnel = [](EngineState& state) { stopTunnel(state); };
    ops.enginesAlive = [](const EngineState& state) { return enginesAlive(state); };
    ops.scanEngineLog = [] { return scanEngineLog(); };
    ops.detectConflict = [] { return detectConflict(); };
    ops.findInternetAdapter = [](uint32_t& interfaceIndex) {
        std::string name;
        return findInternetAdapter(name, interfaceIndex);
    };
    ops.resolveIPv4 = [](const std::string& host) {
        startSockets();
        return resolveIPv4(host);
    };
    ops.probeTcp = [](const std::string& address, uint32_t port, uint32_t interfaceIndex, uint32_t timeoutMs) {
        return probeTcp(address, static_cast<uint16_t>(port), interfaceIndex, timeoutMs);
    };
    ops.listProcesses = listProcessNames;
    return ops;
}

SystemOps platformSystemOps() {
    SystemOps ops;
    ops.clock.nowMs = [] { return static_cast<uint64_t>(GetTickCount64()); };
    ops.clock.sleepMs = [](uint32_t ms) { Sleep(ms); };
    ops.startThread = [](std::function<void()> work) {
        if (startDetachedThread(std::move(work))) return true;
        logLine("CreateThread failed: " + std::to_string(GetLastError()));
        return false;
    };
    ops.log = logLine;
    return ops;
}
