#include <utility>

#include "control/system_ops.h"
#include "tunnel/tunnel.h"

ProcessOps platformProcessOps() {
    ProcessOps ops;
    // The handle is closed at once: the thread runs on, detached.
    ops.startWorker = [](std::function<void()> work) { return static_cast<bool>(startWorkerThread(std::move(work))); };
    return ops;
}

SystemOps windowsSystemOps(const TunnelOps& tunnel) {
    SystemOps ops = systemOpsOver(tunnel);
    ops.processes = platformProcessOps();
    return ops;
}
