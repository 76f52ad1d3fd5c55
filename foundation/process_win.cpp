#include "foundation/process_win.h"


#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstring>
#include <mutex>
#include <utility>
#include <vector>

#include "foundation/text.h"

namespace {

// The process list in one call: Toolhelp builds the same list and then maps and unmaps its view
// for every entry, which costs Wine several times more at every walk. The leading fields of
// SYSTEM_PROCESS_INFORMATION, as Windows has laid them out since NT 4; the threads that follow
// each entry are skipped.
struct ProcessEntry {
    ULONG nextEntryOffset;
    ULONG numberOfThreads;
    LARGE_INTEGER times[6];
    struct {
        USHORT Length;
        USHORT MaximumLength;
        PWSTR Buffer;
    } imageName;
    LONG basePriority;
    ULONG_PTR processId;
    ULONG_PTR parentProcessId;
    ULONG handleCount;
    ULONG sessionId;
};
static_assert(sizeof(void*) != 8 || offsetof(ProcessEntry, processId) == 80, "64-bit layout");
static_assert(sizeof(void*) != 8 || offsetof(ProcessEntry, sessionId) == 100, "64-bit layout");

constexpr ULONG kSystemProcessInformation = 5;
constexpr LONG kStatusInfoLengthMismatch = static_cast<LONG>(0xC0000004);
using QuerySystemInformation = LONG(WINAPI*)(ULONG, void*, ULONG, ULONG*);

QuerySystemInformation systemInformationQuery() {
    static const QuerySystemInformation query = reinterpret_cast<QuerySystemInformation>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
    return query;
}

uint64_t tickMs() { return static_cast<uint64_t>(GetTickCount64()); }

// Our own Ctrl+C, sent to an engine's console that this process has joined for the moment, reaches
// this process too. The handler swallows it while a stop is under way and briefly after (the event
// arrives on a thread of its own, possibly after the console was left). Unlike ignoring Ctrl+C
// altogether, a handler is not inherited by the processes started meanwhile.
std::atomic<bool> ownCtrlCInFlight{false};
std::atomic<uint64_t> ownCtrlCUntil{0};
constexpr uint64_t kOwnCtrlCTailMs = 1000;

BOOL WINAPI passOverOwnCtrlC(DWORD event) {
    if (event != CTRL_C_EVENT) return FALSE;
    return ownCtrlCInFlight.load() || tickMs() < ownCtrlCUntil.load() ? TRUE : FALSE;
}

// The console and its handlers are process-wide: one stop at a time.
std::mutex& stopLock() {
    static std::mutex lock;
    return lock;
}

void sendCtrlC(HANDLE process, uint32_t graceMs) {
    // A console program (the headless client, tests) must leave its own console for that moment and
    // goes back to its parent's afterwards.
    const DWORD id = GetProcessId(process);
    bool leftOwnConsole = false;
    BOOL attached = AttachConsole(id);
    if (!attached && GetLastError() == ERROR_ACCESS_DENIED) {
        leftOwnConsole = FreeConsole() != FALSE;
        attached = leftOwnConsole && AttachConsole(id);
    }
    if (attached) {
        // Removed and added again, so that it is asked before any handler of the program's own.
        SetConsoleCtrlHandler(passOverOwnCtrlC, FALSE);
        SetConsoleCtrlHandler(passOverOwnCtrlC, TRUE);
        ownCtrlCInFlight = true;
        const BOOL sent = GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0);
        FreeConsole();
        if (sent) WaitForSingleObject(process, graceMs);
        ownCtrlCUntil = tickMs() + kOwnCtrlCTailMs;
        ownCtrlCInFlight = false;
    }
    if (leftOwnConsole) AttachConsole(ATTACH_PARENT_PROCESS);
}

// Holds the attribute list that names the handles a child inherits.
struct InheritList {
    std::vector<unsigned char> storage;
    LPPROC_THREAD_ATTRIBUTE_LIST list = nullptr;
    HANDLE handles[3] = {};

    bool build(const HANDLE* given, size_t count) {
        SIZE_T bytes = 0;
        InitializeProcThreadAttributeList(nullptr, 1, 0, &bytes);
        if (bytes == 0) return false;
        storage.resize(bytes);
        auto* candidate = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage.data());
        if (!InitializeProcThreadAttributeList(candidate, 1, 0, &bytes)) return false;
        list = candidate;
        for (size_t i = 0; i < count; ++i) handles[i] = given[i];
        return UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles,
                                         count * sizeof(HANDLE), nullptr, nullptr) != FALSE;
    }
    ~InheritList() {
        if (list) DeleteProcThreadAttributeList(list);
    }
};

DWORD WINAPI runWork(void* parameter) {
    std::unique_ptr<std::function<void()>> work(static_cast<std::function<void()>*>(parameter));
    (*work)();
    return 0;
}

}  // namespace

bool walkProcesses(ProcessList& out, bool withImagePaths) {
    const QuerySystemInformation query = systemInformationQuery();
    if (!query) return false;
    // The list grows between the size question and the answer: a few tries with room to spare.
    std::vector<unsigned char> buffer(64 * 1024);
    ULONG needed = 0;
    LONG status = kStatusInfoLengthMismatch;
    for (int attempt = 0; attempt < 4 && status == kStatusInfoLengthMismatch; ++attempt) {
        status = query(kSystemProcessInformation, buffer.data(), static_cast<ULONG>(buffer.size()), &needed);
        if (status == kStatusInfoLengthMismatch) buffer.resize(std::max<size_t>(needed, buffer.size()) * 2);
    }
    if (status < 0) return false;
    out.clear();
    for (size_t at = 0;;) {
        if (at + sizeof(ProcessEntry) > buffer.size()) return false;
        ProcessEntry entry;
        std::memcpy(&entry, buffer.data() + at, sizeof entry);
        ProcessRecord record;
        record.pid = static_cast<uint32_t>(entry.processId);
        record.parentPid = static_cast<uint32_t>(entry.parentProcessId);
        record.sessionId = entry.sessionId;
        if (entry.imageName.Buffer && entry.imageName.Length > 0) {
            record.exeName = wideToUtf8(std::wstring(entry.imageName.Buffer, entry.imageName.Length / sizeof(wchar_t)));
        }
        if (withImagePaths) {
            if (UniqueHandle process = openProcess(record.pid, PROCESS_QUERY_LIMITED_INFORMATION)) {
                record.imagePath = wideToUtf8(processImagePath(process.get()));
            }
        }
        out.push_back(std::move(record));
        if (entry.nextEntryOffset == 0) break;
        at += entry.nextEntryOffset;
    }
    return true;
}

namespace {

SharedProcessWalk& programWalk() {
    static SharedProcessWalk shared;
    static std::once_flag configured;
    std::call_once(configured, [] {
        shared.nowMs = tickMs;
        shared.walk = [](ProcessList& list) { return walkProcesses(list); };
    });
    return shared;
}

}  // namespace

std::shared_ptr<const ProcessList> recentProcesses(uint64_t maxAgeMs) {
    return recentProcessList(programWalk(), maxAgeMs);
}
std::shared_ptr<const ProcessList> freshProcesses() { return freshProcessList(programWalk()); }

bool sameExeName(const std::string& a, const std::string& b) {
    return CompareStringOrdinal(utf8ToWide(a).c_str(), -1, utf8ToWide(b).c_str(), -1, TRUE) == CSTR_EQUAL;
}

UniqueHandle openProcess(uint32_t pid, DWORD access) { return UniqueHandle(OpenProcess(access, FALSE, pid)); }

std::wstring processImagePath(HANDLE process) {
    wchar_t image[520];
    DWORD length = 520;
    if (!process || !QueryFullProcessImageNameW(process, 0, image, &length)) return {};
    return std::wstring(image, length);
}

bool processRunning(HANDLE process) { return process && WaitForSingleObject(process, 0) == WAIT_TIMEOUT; }

LaunchedProcess launchProcess(const LaunchRequest& request) {
    LaunchedProcess out;
    std::wstring commandLine = request.commandLine.empty() ? L"\"" + request.executable + L"\"" : request.commandLine;

    HANDLE inherited[3] = {};
    size_t count = 0;
    for (HANDLE h : {request.input, request.output, request.error}) {
        bool listed = !h;
        for (size_t i = 0; i < count; ++i) listed = listed || inherited[i] == h;
        if (!listed) inherited[count++] = h;
    }
    STARTUPINFOEXW startup{};
    startup.StartupInfo.cb = sizeof startup.StartupInfo;
    DWORD flags = request.flags | (request.job ? CREATE_SUSPENDED : 0);
    if (request.show >= 0) {
        startup.StartupInfo.dwFlags |= STARTF_USESHOWWINDOW;
        startup.StartupInfo.wShowWindow = static_cast<WORD>(request.show);
    }
    InheritList inheritList;
    if (count > 0) {
        startup.StartupInfo.dwFlags |= STARTF_USESTDHANDLES;
        startup.StartupInfo.hStdInput = request.input;
        startup.StartupInfo.hStdOutput = request.output;
        startup.StartupInfo.hStdError = request.error;
        // Without the list (where it cannot be made) every inheritable handle is inherited: the
        // callers then keep all others non-inheritable.
        if (inheritList.build(inherited, count)) {
            startup.StartupInfo.cb = sizeof startup;
            startup.lpAttributeList = inheritList.list;
            flags |= EXTENDED_STARTUPINFO_PRESENT;
        }
    }
    PROCESS_INFORMATION info{};
    if (!CreateProcessW(request.executable.c_str(), commandLine.data(), nullptr, nullptr, count > 0 ? TRUE : FALSE,
                        flags, nullptr, request.folder.empty() ? nullptr : request.folder.c_str(),
                        &startup.StartupInfo, &info)) {
        out.error = GetLastError();
        return out;
    }
    UniqueHandle process(info.hProcess), thread(info.hThread);
    if (request.job) {
        BOOL inJob = FALSE;
        const bool contained = AssignProcessToJobObject(request.job, process.get()) &&
                               IsProcessInJob(process.get(), request.job, &inJob) && inJob;
        if (!contained || ResumeThread(thread.get()) == static_cast<DWORD>(-1)) {
            out.error = GetLastError();
            if (out.error == 0) out.error = ERROR_NOT_SUPPORTED;
            TerminateProcess(process.get(), 1);
            WaitForSingleObject(process.get(), kTerminateWaitMs);
            return out;
        }
    }
    out.pid = info.dwProcessId;
    out.process = std::move(process);
    return out;
}

void stopProcess(HANDLE process, uint32_t graceMs, UINT exitCode, uint32_t terminateWaitMs) {
    if (!processRunning(process)) return;
    if (graceMs > 0) {
        std::lock_guard<std::mutex> hold(stopLock());
        sendCtrlC(process, graceMs);
    }
    if (processRunning(process)) {
        TerminateProcess(process, exitCode);
        WaitForSingleObject(process, terminateWaitMs);
    }
}

UniqueHandle startThread(std::function<void()> work) {
    auto block = std::make_unique<std::function<void()>>(std::move(work));
    UniqueHandle thread(CreateThread(nullptr, 0, runWork, block.get(), 0, nullptr));
    if (!thread) {
        const DWORD e = GetLastError();
        block.reset();
        SetLastError(e);
        return {};
    }
    block.release();  // the thread owns it now
    return thread;
}

bool startDetachedThread(std::function<void()> work) { return static_cast<bool>(startThread(std::move(work))); }

std::wstring systemProgramPath(const wchar_t* fileName) {
    wchar_t folder[MAX_PATH];
    const UINT n = GetSystemDirectoryW(folder, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return {};
    return std::wstring(folder, n) + L"\\" + fileName;
}
