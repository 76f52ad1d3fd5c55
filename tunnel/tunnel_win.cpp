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
#include "foundation/text.h"
#include "tunnel/engine_files.h"
#include "tunnel/probes.h"

namespace {

HANDLE raw(const PlatformHandle& h) { return static_cast<HANDLE>(h.get()); }

void closeWindowsHandle(void* h) { CloseHandle(static_cast<HANDLE>(h)); }
PlatformHandle owned(HANDLE h) { return h ? PlatformHandle(h, closeWindowsHandle) : PlatformHandle(); }

std::wstring engineLogPath() { return dataFolder() + L"\\engine.log"; }
std::wstring tunConfigPath() { return engineFolder() + L"\\tun.json"; }

PlatformHandle launchEngineProcess(const char* exeName, const std::string& arguments, const std::string* stdinText,
                                   const PlatformHandle& job) {
    const std::wstring folder = engineFolder();
    if (folder.empty() || dataFolder().empty()) return {};
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    // Every engine of a start appends to the same log, after what the earlier one wrote.
    UniqueHandle log(CreateFileW(engineLogPath().c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                 &inherit, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0)) return {};
    UniqueHandle input(readEnd), feed(writeEnd);
    SetHandleInformation(feed.get(), HANDLE_FLAG_INHERIT, 0);  // only the engine's end is inherited

    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = input.get();
    startup.hStdOutput = log.get();
    startup.hStdError = log.get();
    std::wstring commandLine = L"\"" + folder + L"\\" + utf8ToWide(exeName) + L"\" " + utf8ToWide(arguments);
    PROCESS_INFORMATION info{};
    const BOOL started = CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW,
                                        nullptr, folder.c_str(), &startup, &info);
    input.reset();
    log.reset();
    if (!started) {
        logLine("cannot start " + std::string(exeName) + ": " + std::to_string(GetLastError()));
        return {};
    }
    if (job) AssignProcessToJobObject(raw(job), info.hProcess);
    if (stdinText && !stdinText->empty()) {
        DWORD written = 0;
        WriteFile(feed.get(), stdinText->data(), static_cast<DWORD>(stdinText->size()), &written, nullptr);
    }
    feed.reset();  // the engine sees the end of its input
    CloseHandle(info.hThread);
    return owned(info.hProcess);
}

bool processStillRuns(HANDLE process) { return process && WaitForSingleObject(process, 0) == WAIT_TIMEOUT; }

void stopEngine(PlatformHandle& process, uint32_t graceMs) {
    if (!process) return;
    if (processStillRuns(raw(process))) {
        // Ctrl+C first, on the engine's console, while this process ignores it itself. A console
        // program (the headless client, tests) must leave its own console for that moment and
        // goes back to its parent's afterwards.
        const DWORD engineId = GetProcessId(raw(process));
        bool leftOwnConsole = false;
        BOOL attached = AttachConsole(engineId);
        if (!attached && GetLastError() == ERROR_ACCESS_DENIED) {
            leftOwnConsole = FreeConsole() != FALSE;
            attached = leftOwnConsole && AttachConsole(engineId);
        }
        if (attached) {
            SetConsoleCtrlHandler(nullptr, TRUE);
            const BOOL sent = GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0);
            FreeConsole();
            if (sent) WaitForSingleObject(raw(process), graceMs);
            SetConsoleCtrlHandler(nullptr, FALSE);
        }
        if (leftOwnConsole) AttachConsole(ATTACH_PARENT_PROCESS);
        if (processStillRuns(raw(process))) {
            TerminateProcess(raw(process), 1);
            WaitForSingleObject(raw(process), 2000);
        }
    }
    process.reset();
}

PlatformHandle createKillOnCloseJob() {
    HANDLE job = CreateJobObjectW(nullptr, nullptr);
    if (!job) return {};
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits);
    return owned(job);
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
    wchar_t commandLine[] =
        L"netsh interface ipv4 set dnsservers name=\"velmorante-tun\" static 1.1.1.1 primary validate=no";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    if (!CreateProcessW(nullptr, commandLine, nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr, &startup,
                        &info)) {
        return;  // the tunnel works without it
    }
    WaitForSingleObject(info.hProcess, 3000);
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
}

DWORD WINAPI runThreadWork(void* parameter) {
    std::unique_ptr<std::function<void()>> work(static_cast<std::function<void()>*>(parameter));
    (*work)();
    return 0;
}

}  // namespace

PlatformHandle startWorkerThread(std::function<void()> work) {
    auto* block = new std::function<void()>(std::move(work));
    HANDLE thread = CreateThread(nullptr, 0, runThreadWork, block, 0, nullptr);
    if (!thread) {
        const DWORD e = GetLastError();
        delete block;
        logLine("CreateThread failed: " + std::to_string(e));
    }
    return owned(thread);
}

TunnelOps windowsTunnelOps() {
    TunnelOps o;
    o.log = logLine;
    o.network = {resolveIPv4, freeLocalPort, probeTcp};
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
    o.processes.processRunning = [](const PlatformHandle& p) { return processStillRuns(raw(p)); };
    o.processes.stopEngineProcess = stopEngine;
    o.processes.killLeftoverEngines = killLeftoverEngines;
    o.processes.startThread = startWorkerThread;
    o.processes.joinThread = [](const PlatformHandle& thread, uint32_t ms) { WaitForSingleObject(raw(thread), ms); };
    return o;
}
