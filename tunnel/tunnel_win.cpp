#include "tunnel/tunnel.h"

#include <windows.h>

#include <memory>
#include <utility>

#include "build_config.h"
#include "conflicts/adapters.h"
#include "conflicts/conflicts.h"
#include "foundation/files_win.h"
#include "foundation/handles_win.h"
#include "foundation/log.h"
#include "foundation/paths.h"
#include "foundation/process_win.h"
#include "foundation/text.h"
#include "tunnel/engine_files.h"
#include "foundation/net.h"

namespace {

std::wstring engineLogPath() { return dataFolder() + L"\\engine.log"; }
std::wstring tunConfigPath() { return engineFolder() + L"\\tun.json"; }

// An xray document is a few kilobytes; anything near this is not one of ours.
constexpr size_t kEngineInputMaxBytes = 1 << 20;

PlatformHandle launchEngineProcess(const char* exeName, const std::string& arguments, const std::string* stdinText,
                                   const PlatformHandle& job) {
    const std::wstring folder = engineFolder();
    if (folder.empty() || dataFolder().empty()) return {};
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    // Every engine of a start appends to the same log, after what the earlier one wrote. A log that
    // is a link (or reached through one) would let the engine write anywhere: then nothing starts.
    CheckedFile opened = openChecked(engineLogPath(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_ALWAYS,
                                     FILE_ATTRIBUTE_NORMAL, &inherit);
    if (opened.refused) {
        logLine("engine log refused, " + std::string(exeName) + " not started: " + opened.failure);
        return {};
    }
    UniqueHandle log = std::move(opened.handle);
    // The pipe holds the whole document, so that writing it never waits for the engine to read.
    const size_t inputBytes = stdinText ? stdinText->size() : 0;
    if (inputBytes > kEngineInputMaxBytes) return {};
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inherit, static_cast<DWORD>(inputBytes + 4096))) return {};
    UniqueHandle input(readEnd), feed(writeEnd);
    SetHandleInformation(feed.get(), HANDLE_FLAG_INHERIT, 0);  // only the engine's end is inherited

    LaunchRequest request;
    request.executable = folder + L"\\" + utf8ToWide(exeName);
    request.commandLine = L"\"" + request.executable + L"\" " + utf8ToWide(arguments);
    request.folder = folder;
    request.input = input.get();
    request.output = log.get();
    request.error = log.get();
    request.job = kernelHandle(job);
    LaunchedProcess launched = launchProcess(request);
    input.reset();
    log.reset();
    if (!launched.process) {
        logLine("cannot start " + std::string(exeName) + ": " + std::to_string(launched.error));
        return {};
    }
    if (stdinText && !stdinText->empty()) {
        DWORD written = 0;
        WriteFile(feed.get(), stdinText->data(), static_cast<DWORD>(stdinText->size()), &written, nullptr);
    }
    feed.reset();  // the engine sees the end of its input
    return platformHandle(std::move(launched.process));
}

void stopEngine(PlatformHandle& process, uint32_t graceMs) {
    // Ctrl+C first, on the engine's console; then it is terminated.
    if (process) stopProcess(kernelHandle(process), graceMs, 1);
    process.reset();
}

PlatformHandle createKillOnCloseJob() {
    UniqueHandle job(CreateJobObjectW(nullptr, nullptr));
    if (!job) return {};
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits, sizeof limits);
    return platformHandle(std::move(job));
}

std::string readLogTail() {
    CheckedFile log = openChecked(engineLogPath(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL);
    if (!log.handle) return {};
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(log.handle.get(), &size) || size.QuadPart <= 0) return {};
    const long long from = size.QuadPart > static_cast<long long>(kEngineLogScanBytes) ? size.QuadPart - kEngineLogScanBytes : 0;
    LARGE_INTEGER at{};
    at.QuadPart = from;
    if (!SetFilePointerEx(log.handle.get(), at, nullptr, FILE_BEGIN)) return {};
    std::string tail(static_cast<size_t>(size.QuadPart - from), '\0');
    DWORD got = 0;
    if (!ReadFile(log.handle.get(), tail.data(), static_cast<DWORD>(tail.size()), &got, nullptr)) return {};
    tail.resize(got);
    return tail;
}

// Written, then held for reading while others may only read, and read back through that handle:
// what sing-box reads is what was written, and it stays so until the handle is let go.
bool writeTunConfigFile(const std::string& text, std::vector<PlatformHandle>& held) {
    if (engineFolder().empty()) return false;
    const std::string why = replaceFile(tunConfigPath(), text);
    if (!why.empty()) {
        logLine("tun.json not written: " + why);  // the start goes on; sing-box then reports the missing file
        return false;
    }
    CheckedFile pinned = pinFile(tunConfigPath());
    std::string back;
    if (!pinned.handle || !readThroughHandle(pinned.handle.get(), back, text.size()) || back != text) {
        logLine("tun.json changed after it was written: " + pinned.failure);
        deleteFile(tunConfigPath());
        return false;
    }
    held.push_back(platformHandle(std::move(pinned.handle)));
    return true;
}

void deleteLogged(const std::wstring& path) {
    const std::string why = deleteFile(path);
    if (!why.empty()) logLine("not deleted: " + why);
}

void setTunnelDnsServer() {
    LaunchRequest request;
    request.executable = systemProgramPath(L"netsh.exe");
    request.commandLine =
        L"netsh interface ipv4 set dnsservers name=\"velmorante-tun\" static 1.1.1.1 primary validate=no";
    if (request.executable.empty()) return;
    LaunchedProcess netsh = launchProcess(request);
    if (!netsh.process) return;  // the tunnel works without it
    WaitForSingleObject(netsh.process.get(), 3000);
}

}  // namespace

PlatformHandle startWorkerThread(std::function<void()> work) {
    UniqueHandle thread = startThread(std::move(work));
    if (!thread) logLine("CreateThread failed: " + std::to_string(GetLastError()));
    return platformHandle(std::move(thread));
}

TunnelOps windowsTunnelOps() {
    TunnelOps o;
    o.log = logLine;
    o.network = {resolveIPv4, freeLocalPort, probeTcp, probeTcpMany, fetchThroughSocks};
    o.livenessHost = vlm::build::kServiceHost;
    o.adapters = {findInternetAdapter, findForeignTunnelAdapter, isTunnelAdapterUp, setTunnelDnsServer};
    o.conflicts = {detectConflict, clearConflicts};
    o.folder.engineFolder = wideToUtf8(engineFolder());
    o.folder.ensureEngineFiles = [](std::vector<PlatformHandle>& held) { return ensureEngineFiles(&held); };
    o.folder.deleteEngineLog = [] {
        if (!dataFolder().empty()) deleteLogged(engineLogPath());
    };
    o.folder.readEngineLogTail = readLogTail;
    o.folder.writeTunConfig = writeTunConfigFile;
    o.folder.deleteTunConfig = [] {
        if (!engineFolder().empty()) deleteLogged(tunConfigPath());
    };
    o.processes.createJob = createKillOnCloseJob;
    o.processes.launchEngine = launchEngineProcess;
    o.processes.processRunning = [](const PlatformHandle& p) { return processRunning(kernelHandle(p)); };
    o.processes.stopEngineProcess = stopEngine;
    o.processes.killLeftoverEngines = killLeftoverEngines;
    o.processes.startThread = startWorkerThread;
    o.processes.joinThread = [](const PlatformHandle& thread, uint32_t ms) { WaitForSingleObject(kernelHandle(thread), ms); };
    return o;
}
