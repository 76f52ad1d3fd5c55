#include <windows.h>
#include <tlhelp32.h>

#include <memory>
#include <utility>

#include "conflicts/adapters.h"
#include "conflicts/conflicts.h"
#include "control/connect.h"
#include "control/controller.h"
#include "control/system_ops.h"
#include "foundation/handles_win.h"
#include "foundation/log.h"
#include "foundation/text.h"
#include "foundation/net.h"
#include "tunnel/tunnel.h"

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

bool listProcessNames(std::vector<std::string>& names) {
    UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) return false;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    names.clear();
    for (BOOL more = Process32FirstW(snapshot.get(), &entry); more; more = Process32NextW(snapshot.get(), &entry)) {
        names.push_back(wideToUtf8(entry.szExeFile));
    }
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
    ops.startThread = startDetachedThread;
    ops.log = logLine;
    return ops;
}
