#include <windows.h>

#include <string>
#include <utility>

#include "control/system_ops.h"
#include "foundation/log.h"
#include "foundation/process.h"
#include "tunnel/tunnel.h"

ProcessOps platformProcessOps() {
    ProcessOps ops;
    ops.startWorker = [](std::function<void()> work) {
        if (startDetachedThread(std::move(work))) return true;
        logLine("CreateThread failed: " + std::to_string(GetLastError()));
        return false;
    };
    return ops;
}

SystemOps windowsSystemOps(const TunnelOps& tunnel) {
    SystemOps ops = systemOpsOver(tunnel);
    ops.processes = platformProcessOps();
    return ops;
}
