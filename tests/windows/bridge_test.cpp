// The bridge's real window and system calls under Wine.
#include <windows.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>

#include "control/controller.h"
#include "foundation/json.h"
#include "foundation/paths.h"
#include "shell/bridge.h"
#include "test_support.h"

namespace {

std::vector<UINT> received;
WPARAM dragWParam = 0;

LRESULT CALLBACK recordingProc(HWND window, UINT message, WPARAM w, LPARAM l) {
    received.push_back(message);
    if (message == WM_NCLBUTTONDOWN) {
        dragWParam = w;
        return 0;  // no modal move loop in a test
    }
    return DefWindowProcW(window, message, w, l);
}

HWND makeWindow() {
    WNDCLASSW wc{};
    wc.lpfnWndProc = recordingProc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"VelmoranteBridgeTest";
    RegisterClassW(&wc);
    HWND window = CreateWindowExW(0, wc.lpszClassName, L"bridge test", WS_POPUP | WS_SYSMENU | WS_MINIMIZEBOX, 10,
                                  10, 200, 200, nullptr, nullptr, wc.hInstance, nullptr);
    if (window) return window;
    // Without a display (Wine outside Xvfb) only a message-only window can be made.
    return CreateWindowExW(0, wc.lpszClassName, L"bridge test", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, wc.hInstance,
                           nullptr);
}

TEST(WinBridge, WindowCommandsReachTheWindow) {
    HWND window = makeWindow();
    ASSERT_NE(window, nullptr);
    ShowWindow(window, SW_SHOWNORMAL);
    int pushes = 0;
    std::vector<std::string> logs;
    TunnelController c(nullptr, GetCurrentThreadId(), SystemOps{});
    UiBridge bridge;
    bridge.controller = &c;
    bridge.ops = windowsShellOps(window, [&] { ++pushes; });
    bridge.ops.log = [&](const std::string& line) { logs.push_back(line); };

    handleWebMessage(bridge, std::wstring(L"{\"cmd\":\"ready\"}"));
    EXPECT_EQ(pushes, 1);

    handleWebMessage(bridge, std::wstring(L"{\"cmd\":\"minimize\"}"));
    EXPECT_TRUE(IsIconic(window));

    received.clear();
    handleWebMessage(bridge, std::wstring(L"{\"cmd\":\"drag\"}"));
    ASSERT_NE(std::find(received.begin(), received.end(), static_cast<UINT>(WM_NCLBUTTONDOWN)), received.end());
    EXPECT_EQ(dragWParam, static_cast<WPARAM>(HTCAPTION));

    handleWebMessage(bridge, std::wstring(L"{\"cmd\":\"close\"}"));
    MSG msg{};
    EXPECT_TRUE(PeekMessageW(&msg, window, WM_CLOSE, WM_CLOSE, PM_REMOVE));
    EXPECT_TRUE(IsWindow(window)) << "close only asks; the window procedure decides";

    // UTF-16 in, UTF-8 in the log.
    handleWebMessage(bridge, std::wstring(L"{\"cmd\":\"jserror\",\"text\":\"Ошибка «x» @3\"}"));
    std::wstring notJson(60, L'Ж');  // 120 bytes of UTF-8
    handleWebMessage(bridge, notJson);
    ASSERT_EQ(logs.size(), 2u);
    EXPECT_EQ(logs[0], "ui script error: Ошибка «x» @3");
    std::string first80;
    for (int i = 0; i < 40; ++i) first80 += "Ж";
    EXPECT_EQ(logs[1], "bad ui message: " + first80);
    DestroyWindow(window);
}

TEST(WinBridge, AdministratorCheckAgreesWithTheShell) {
    // Wine reports every process as an administrator; on Windows this follows the token.
    EXPECT_EQ(runsAsAdministrator(), IsUserAnAdmin() != FALSE);
}

struct ChildProcess {
    PROCESS_INFORMATION pi{};
    ~ChildProcess() {
        if (pi.hProcess) {
            TerminateProcess(pi.hProcess, 0);
            WaitForSingleObject(pi.hProcess, 5000);
            CloseHandle(pi.hProcess);
            CloseHandle(pi.hThread);
        }
    }
};

TEST(WinBridge, RunningApplicationsFromAFreshProcessList) {
    TempFolder temp;
    ASSERT_FALSE(temp.path.empty());
    const std::filesystem::path helper = std::filesystem::path(modulePath()).parent_path() / L"idle_process.exe";
    const std::filesystem::path game = temp.path / L"TslGame.exe";
    std::error_code ec;
    ASSERT_TRUE(std::filesystem::copy_file(helper, game, ec)) << ec.message();

    TunnelController c(nullptr, 0, SystemOps{});
    c.profile.apps = {"TslGame", "tslgame", "NoSuchGame", "TslGame.exe"};
    auto appsRunning = [&] {
        JsonValue s;
        EXPECT_TRUE(parseJson(buildSnapshot(c, "1.2.2", processCheckOfOneWalk()), s));
        std::vector<bool> running;
        for (const JsonValue& app : s.find("apps").items) running.push_back(app.find("running").asBool());
        return running;
    };
    EXPECT_EQ(appsRunning(), (std::vector<bool>{false, false, false, false}));

    {
        ChildProcess child;
        STARTUPINFOW si{};
        si.cb = sizeof si;
        std::wstring commandLine = L"\"" + game.wstring() + L"\"";
        ASSERT_TRUE(CreateProcessW(game.c_str(), commandLine.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW,
                                   nullptr, nullptr, &si, &child.pi));
        bool seen = false;
        for (int i = 0; i < 100 && !seen; ++i) {  // at most 5 s for the process to appear
            seen = isProcessRunningNow(L"TslGame.exe");
            if (!seen) Sleep(50);
        }
        ASSERT_TRUE(seen);
        EXPECT_TRUE(isProcessRunningNow(L"tslgame.EXE"));
        EXPECT_FALSE(isProcessRunningNow(L"TslGame"));
        EXPECT_FALSE(isProcessRunningNow(L"TslGame.exe.exe"));
        EXPECT_EQ(appsRunning(), (std::vector<bool>{true, true, false, false}));
        JsonValue s;
        ASSERT_TRUE(parseJson(buildSnapshot(c, "1.2.2", processCheckOfOneWalk()), s));
        EXPECT_EQ(s.find("apps").items[0].find("name").asText(), "PUBG");
        EXPECT_EQ(s.find("apps").items[1].find("name").asText(), "tslgame");
    }
    bool gone = false;
    for (int i = 0; i < 100 && !gone; ++i) {
        gone = !isProcessRunningNow(L"TslGame.exe");
        if (!gone) Sleep(50);
    }
    EXPECT_TRUE(gone);
}

TEST(WinBridge, PlatformWorkersAndClock) {
    const ProcessOps ops = platformProcessOps();
    const Clock clock;
    std::atomic<DWORD> workerThread{0};
    HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_TRUE(ops.startWorker([&] {
        workerThread = GetCurrentThreadId();
        SetEvent(done);
    }));
    ASSERT_EQ(WaitForSingleObject(done, 5000), WAIT_OBJECT_0);
    CloseHandle(done);
    EXPECT_NE(workerThread.load(), GetCurrentThreadId());
    const uint64_t before = clock.nowMs();
    clock.sleepMs(60);
    EXPECT_GE(clock.nowMs() - before, 55u);
}

}  // namespace
