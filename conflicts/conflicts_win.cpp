#include "conflicts/conflicts.h"

#include <windows.h>
#include <wininet.h>

#include <functional>

#include "conflicts/adapters.h"
#include "foundation/handles_win.h"
#include "foundation/process_win.h"
#include "foundation/log.h"
#include "foundation/paths.h"
#include "foundation/text.h"

namespace {

using UniqueServiceHandle = Unique<SC_HANDLE, &CloseServiceHandle>;

// The session the process with this id runs in; false when it cannot be told.
bool sessionOf(uint32_t pid, uint32_t& session) {
    DWORD id = 0;
    if (!ProcessIdToSessionId(pid, &id)) return false;
    session = id;
    return true;
}

// The process runs from our engine folder: one of our own engines, never a conflict.
bool runsFromEngineFolder(HANDLE process, const std::wstring& folder) {
    const std::wstring image = processImagePath(process);
    return !image.empty() && isInsideFolder(image, folder);
}

// Visits every running WireGuard tunnel service with the manager handle. Nothing when the
// manager or the list cannot be read.
void forEachWireGuardService(const std::function<void(SC_HANDLE manager, const wchar_t* name)>& visit) {
    UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ENUMERATE_SERVICE));
    if (!manager) return;
    DWORD count = 0;
    std::vector<unsigned char> buffer;
    const bool read = readGrowingList(
        [&](std::vector<unsigned char>& into, uint32_t& needed) {
            DWORD asked = 0, resume = 0;
            count = 0;
            if (EnumServicesStatusExW(manager.get(), SC_ENUM_PROCESS_INFO, SERVICE_WIN32, SERVICE_ACTIVE,
                                      into.empty() ? nullptr : into.data(), static_cast<DWORD>(into.size()), &asked,
                                      &count, &resume, nullptr)) {
                return true;
            }
            needed = GetLastError() == ERROR_MORE_DATA ? asked : 0;
            return false;
        },
        buffer);
    if (!read || count == 0) return;
    const auto* services = reinterpret_cast<const ENUM_SERVICE_STATUS_PROCESSW*>(buffer.data());
    for (DWORD i = 0; i < count; ++i) {
        const wchar_t* name = services[i].lpServiceName;
        if (name && isWireGuardTunnelService(wideToUtf8(name))) visit(manager.get(), name);
    }
}

const wchar_t* const kSettingsKeyW = L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";

}  // namespace

void closeListedProcesses(const ProcessList& walk, const std::wstring& exeName) {
    const uint32_t self = GetCurrentProcessId();
    uint32_t ownSession = 0;
    if (!sessionOf(self, ownSession)) return;
    const std::wstring folder = engineFolder();
    const std::string wanted = wideToUtf8(exeName);
    for (const ProcessRecord& entry : walk) {
        if (!isCloseCandidate(entry, wanted, self, ownSession)) continue;
        UniqueHandle process = openProcess(entry.pid, PROCESS_TERMINATE | PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE);
        if (!process) continue;
        // The walk may be older than the id's present owner: look again at the process now held.
        OpenedProcess opened;
        opened.sessionKnown = sessionOf(GetProcessId(process.get()), opened.sessionId);
        const std::wstring image = processImagePath(process.get());
        opened.imagePath = wideToUtf8(image);
        opened.inEngineFolder = !image.empty() && isInsideFolder(image, folder);
        if (!mayEndOpenedProcess(opened, wanted, ownSession)) continue;
        stopProcess(process.get(), 0, 0);
        logLine("closed conflicting program: " + wanted);
    }
}

void closeProgramsByName(const std::wstring& exeName) {
    const std::shared_ptr<const ProcessList> list = freshProcesses();
    if (list) closeListedProcesses(*list, exeName);
}

void stopWireGuardServices() {
    forEachWireGuardService([](SC_HANDLE manager, const wchar_t* name) {
        UniqueServiceHandle service(OpenServiceW(manager, name, SERVICE_STOP));
        if (!service) return;
        SERVICE_STATUS status{};
        // Only asked; not waited for. A service that refuses is left as it is, and not logged.
        if (!ControlService(service.get(), SERVICE_CONTROL_STOP, &status)) return;
        logLine("stopped WireGuard tunnel service " + wideToUtf8(name));
    });
}

std::vector<std::string> runningWireGuardServices() {
    std::vector<std::string> names;
    forEachWireGuardService([&](SC_HANDLE, const wchar_t* name) { names.push_back(wideToUtf8(name)); });
    return names;
}

SystemProxy readSystemProxy() {
    SystemProxy proxy;
    DWORD enabled = 0;
    DWORD size = sizeof enabled;
    if (RegGetValueW(HKEY_CURRENT_USER, kSettingsKeyW, L"ProxyEnable", RRF_RT_REG_DWORD, nullptr, &enabled, &size) !=
            ERROR_SUCCESS ||
        enabled == 0) {
        return proxy;
    }
    proxy.enabled = true;
    wchar_t server[512] = {};
    DWORD serverSize = sizeof server;  // 1024 bytes
    if (RegGetValueW(HKEY_CURRENT_USER, kSettingsKeyW, L"ProxyServer", RRF_RT_REG_SZ, nullptr, server, &serverSize) ==
        ERROR_SUCCESS) {
        server[511] = L'\0';
        proxy.server = wideToUtf8(server);
    }
    return proxy;
}

void clearLoopbackProxy() {
    const SystemProxy proxy = readSystemProxy();
    if (!proxy.enabled || !proxyPointsAtLoopback(proxy.server)) return;  // elsewhere: the user's own
    const DWORD off = 0;
    if (RegSetKeyValueW(HKEY_CURRENT_USER, kSettingsKeyW, L"ProxyEnable", REG_DWORD, &off, sizeof off) !=
        ERROR_SUCCESS) {
        return;
    }
    // Running programs learn of it from WinINet; a failure there ends the step without a log line.
    if (!InternetSetOptionW(nullptr, INTERNET_OPTION_SETTINGS_CHANGED, nullptr, 0)) return;
    if (!InternetSetOptionW(nullptr, INTERNET_OPTION_REFRESH, nullptr, 0)) return;
    logLine("cleared the system proxy left by another client");
}

void clearConflicts() {
    stopWireGuardServices();
    for (const char* entry : kConflictingPrograms) closeProgramsByName(utf8ToWide(entry));
    clearLoopbackProxy();
}

std::wstring findRunningConflictProgram() {
    const std::shared_ptr<const ProcessList> list = recentProcesses();
    if (!list) return {};
    const std::wstring folder = engineFolder();
    for (const ProcessRecord& entry : *list) {
        if (!conflictingProgramEntry(entry.exeName)) continue;
        UniqueHandle process = openProcess(entry.pid, PROCESS_QUERY_LIMITED_INFORMATION);
        if (process && runsFromEngineFolder(process.get(), folder)) continue;
        return utf8ToWide(entry.exeName);
    }
    return {};
}

std::string detectConflict() {
    const std::wstring program = findRunningConflictProgram();
    if (!program.empty()) return conflictDisplayName(wideToUtf8(program));
    return findForeignTunnelAdapter();
}
