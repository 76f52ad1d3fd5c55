#include "tunnel/tunnel.h"

#include <windows.h>

#include <cstdio>
#include <memory>
#include <utility>

#include "conflicts/adapters.h"
#include "conflicts/conflicts.h"
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
    // Every engine of a start appends to the same log, after what the earlier one wrote.
    UniqueHandle log(CreateFileW(engineLogPath().c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                 &inherit, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
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
    FILE* f = _wfopen(engineLogPath().c_str(), L"rb");
    if (!f) return {};
    std::string tail;
    if (_fseeki64(f, 0, SEEK_END) == 0) {
        const long long size = _ftelli64(f);
        const long long from = size > static_cast<long long>(kEngineLogScanBytes) ? size - kEngineLogScanBytes : 0;
        if (size > 0 && _fseeki64(f, from, SEEK_SET) == 0) {
            tail.resize(static_cast<size_t>(size - from));
            tail.resize(std::fread(tail.data(), 1, tail.size(), f));
        }
    }
    std::fclose(f);
    return tail;
}

bool writeTunConfigFile(const std::string& text) {
    if (engineFolder().empty()) return false;
    FILE* f = _wfopen(tunConfigPath().c_str(), L"wb");
    if (!f) return false;  // the start goes on; sing-box then reports the missing file itself
    const bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    return std::fclose(f) == 0 && ok;
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
    o.network = {resolveIPv4, freeLocalPort, probeTcp, probeTcpMany};
    o.adapters = {findInternetAdapter, findForeignTunnelAdapter, isTunnelAdapterUp, setTunnelDnsServer};
    o.conflicts = {detectConflict, clearConflicts};
    o.folder.engineFolder = wideToUtf8(engineFolder());
    o.folder.ensureEngineFiles = [] { return ensureEngineFiles(); };
    o.folder.deleteEngineLog = [] {
        if (!dataFolder().empty()) DeleteFileW(engineLogPath().c_str());
    };
    o.folder.readEngineLogTail = readLogTail;
    o.folder.writeTunConfig = writeTunConfigFile;
    o.folder.deleteTunConfig = [] {
        if (!engineFolder().empty()) DeleteFileW(tunConfigPath().c_str());
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
