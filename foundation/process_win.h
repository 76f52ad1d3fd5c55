// The Windows side of the process module (foundation/process.h): the walk, the one
// launcher, the one bounded stop and the one thread start.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "foundation/handles_win.h"
#include "foundation/process.h"

// A fresh walk of the running processes. With image paths, each process is opened for
// PROCESS_QUERY_LIMITED_INFORMATION (costly when asked every second: leave them out then).
bool walkProcesses(ProcessList& out, bool withImagePaths = false);
// The program's shared walk without image paths: a list at most maxAgeMs old, or a new one.
std::shared_ptr<const ProcessList> recentProcesses(uint64_t maxAgeMs = kRecentProcessListMs);
std::shared_ptr<const ProcessList> freshProcesses();
// Executable file names compared as Windows does (ordinal, case-insensitive).
bool sameExeName(const std::string& a, const std::string& b);

UniqueHandle openProcess(uint32_t pid, DWORD access);
// The full image path of an open process (PROCESS_QUERY_LIMITED_INFORMATION); empty when unreadable.
std::wstring processImagePath(HANDLE process);
bool processRunning(HANDLE process);

struct LaunchRequest {
    std::wstring executable;   // full path: nothing is found through a search path
    std::wstring commandLine;  // the whole line, its first word included; empty: the quoted executable
    std::wstring folder;       // working folder; empty: ours
    // Inheritable handles for the standard streams; null: none. Only these are inherited.
    HANDLE input = nullptr;
    HANDLE output = nullptr;
    HANDLE error = nullptr;
    DWORD flags = CREATE_NO_WINDOW;
    int show = -1;  // SW_… for the first window; below zero: the default
    // The process runs inside it from its first instruction, or not at all.
    HANDLE job = nullptr;
};

struct LaunchedProcess {
    UniqueHandle process;  // empty on failure
    uint32_t pid = 0;
    DWORD error = 0;       // the failure's error code
};

// Started suspended when a job is given: assigned, checked with IsProcessInJob and only then
// resumed; on any failure there the process is terminated and nothing is returned.
LaunchedProcess launchProcess(const LaunchRequest& request);

inline constexpr uint32_t kTerminateWaitMs = 2000;

// Ctrl+C on the process's console, up to graceMs for it to end, then TerminateProcess(exitCode) and
// at most terminateWaitMs more. One stop at a time in the process (the console is process-wide).
void stopProcess(HANDLE process, uint32_t graceMs, UINT exitCode = 1, uint32_t terminateWaitMs = kTerminateWaitMs);

// A new thread running the work, which it owns. Empty when none could be started (the work is
// dropped; GetLastError tells why).
UniqueHandle startThread(std::function<void()> work);

// The file in the System32 folder ("netsh.exe" -> "C:\Windows\System32\netsh.exe"); empty when the
// folder is unknown.
std::wstring systemProgramPath(const wchar_t* fileName);
