#include <windows.h>

#include <memory>
#include <utility>

#include "control/system_ops.h"
#include "foundation/log.h"

namespace {

DWORD WINAPI runWork(void* parameter) {
    std::unique_ptr<std::function<void()>> work(static_cast<std::function<void()>*>(parameter));
    (*work)();
    return 0;
}

bool startDetachedThread(std::function<void()> work) {
    auto* block = new std::function<void()>(std::move(work));
    HANDLE thread = CreateThread(nullptr, 0, runWork, block, 0, nullptr);
    if (!thread) {
        const DWORD e = GetLastError();
        delete block;
        logLine("CreateThread failed: " + std::to_string(e));
        return false;
    }
    CloseHandle(thread);
    return true;
}

}  // namespace

SystemOps platformSystemOps() {
    SystemOps ops;
    ops.clock.nowMs = [] { return static_cast<uint64_t>(GetTickCount64()); };
    ops.clock.sleepMs = [](uint32_t ms) { Sleep(ms); };
    ops.startThread = startDetachedThread;
    ops.log = logLine;
    return ops;
}
