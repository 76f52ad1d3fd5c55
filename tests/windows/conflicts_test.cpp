// Closing listed programs against a real process under Wine, with walks written here: the process
// the walk names may since have become another program (a reused id) or another session's.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <filesystem>
#include <string>

#include "conflicts/conflicts.h"
#include "foundation/log.h"
#include "foundation/paths.h"
#include "foundation/process_win.h"
#include "test_support.h"

namespace {

std::filesystem::path logFile(const wchar_t* name) { return std::filesystem::path(dataFolder()) / name; }

// The log written since it had `offset` bytes, across one turn to "app.log.1".
std::string logSince(uintmax_t offset) {
    std::error_code error;
    const uintmax_t size = std::filesystem::file_size(logFile(L"app.log"), error);
    const std::string current = readFileBytes(logFile(L"app.log"));
    if (!error && size >= offset) return current.substr(std::min<uintmax_t>(offset, current.size()));
    const std::string previous = readFileBytes(logFile(L"app.log.1"));
    return previous.substr(std::min<uintmax_t>(offset, previous.size())) + current;
}

uintmax_t logSize() {
    std::error_code error;
    const uintmax_t size = std::filesystem::file_size(logFile(L"app.log"), error);
    return error ? 0 : size;
}

bool closedLine(const std::string& text, const std::string& name) {
    return text.find(" closed conflicting program: " + name + "\r\n") != std::string::npos;
}

}  // namespace

TEST(Conflicts, AProcessIsEndedOnlyWhenTheOpenedOneIsStillTheListedProgramOfOurSession) {
    LaunchRequest request;
    request.executable = (std::filesystem::path(modulePath()).parent_path() / L"idle_process.exe").wstring();
    LaunchedProcess idle = launchProcess(request);
    ASSERT_TRUE(idle.process) << idle.error;
    ProcessRecord walked;
    for (const ProcessRecord& p : *freshProcesses()) {
        if (p.pid == idle.pid) walked = p;
    }
    ASSERT_EQ(walked.pid, idle.pid) << "the walk lists the started process";
    const uintmax_t logStart = logSize();

    // The walk saw "sing-box.exe" under this id; the id now names another program.
    ProcessRecord reused = walked;
    reused.exeName = "sing-box.exe";
    closeListedProcesses({reused}, L"sing-box.exe");
    // The walk saw it in another session.
    ProcessRecord otherSession = walked;
    otherSession.sessionId = walked.sessionId + 1;
    closeListedProcesses({otherSession}, L"idle_process.exe");
    EXPECT_TRUE(processRunning(idle.process.get()));
    EXPECT_EQ(logSince(logStart).find("closed conflicting program"), std::string::npos);

    // The walk as it is: our session by both the walk and the opened process, the same image.
    closeListedProcesses({walked}, L"idle_process.exe");
    EXPECT_EQ(WaitForSingleObject(idle.process.get(), 5000), WAIT_OBJECT_0);
    EXPECT_TRUE(closedLine(logSince(logStart), "idle_process.exe"));
    stopProcess(idle.process.get(), 0);
}
