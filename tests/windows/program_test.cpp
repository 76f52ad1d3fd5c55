// VELMORANTE.exe itself under Wine with the recording stand-in runtime: one instance per session,
// the window's class, style, size, place and region, the page handed to the view, snapshots, and
// the "--autostart" switch. The cases named ProgramTunnel need a service and a VLESS server: they
// run inside scripts/test.d/45-program (VLM_PROGRAM_SERVICE=1), and skip elsewhere.
#include <windows.h>
#include <sddl.h>
#include <tlhelp32.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "foundation/text.h"
#include "tests/fixtures/webview-runtime/harness_win.h"
#include "tunnel/tunnel.h"

namespace {

using namespace webview_harness;

std::wstring programPath() { return (fs::path(modulePath()).parent_path() / L"VELMORANTE.exe").wstring(); }

struct Program {
    PROCESS_INFORMATION info{};
    // exe: the program's file, started in its own folder when given.
    bool start(const std::wstring& arguments = L"", const fs::path& exe = {}) {
        const std::wstring file = exe.empty() ? programPath() : exe.wstring();
        std::wstring commandLine = L"\"" + file + L"\"" + (arguments.empty() ? L"" : L" " + arguments);
        const std::wstring folder = exe.empty() ? std::wstring() : exe.parent_path().wstring();
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        return CreateProcessW(file.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                              folder.empty() ? nullptr : folder.c_str(), &startup, &info) != FALSE;
    }
    // Exit code, or -1 while it still runs after ms.
    long waitExit(DWORD ms) {
        if (!info.hProcess || WaitForSingleObject(info.hProcess, ms) != WAIT_OBJECT_0) return -1;
        DWORD code = 0;
        GetExitCodeProcess(info.hProcess, &code);
        return static_cast<long>(code);
    }
    ~Program() {
        if (info.hProcess) {
            if (WaitForSingleObject(info.hProcess, 0) == WAIT_TIMEOUT) {
                if (HWND w = FindWindowW(L"VelmoranteWindow", nullptr)) PostMessageW(w, WM_CLOSE, 0, 0);
                if (WaitForSingleObject(info.hProcess, 15000) != WAIT_OBJECT_0) TerminateProcess(info.hProcess, 1);
            }
            CloseHandle(info.hProcess);
            CloseHandle(info.hThread);
        }
    }
};

HWND waitForWindow(DWORD ms) {
    HWND found = nullptr;
    pumpUntil([&] { return (found = FindWindowW(L"VelmoranteWindow", nullptr)) != nullptr; }, ms);
    return found;
}

int countProcesses(const wchar_t* exeName) {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    int n = 0;
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
        n += _wcsicmp(entry.szExeFile, exeName) == 0;
    }
    CloseHandle(snapshot);
    return n;
}

// The program's resource 104, read from its file.
std::string programPage() {
    HMODULE module = LoadLibraryExW(programPath().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    std::string page;
    if (HRSRC res = module ? FindResourceW(module, MAKEINTRESOURCEW(104), MAKEINTRESOURCEW(10)) : nullptr) {
        const void* bytes = LockResource(LoadResource(module, res));
        page.assign(static_cast<const char*>(bytes), SizeofResource(module, res));
    }
    if (module) FreeLibrary(module);
    return page;
}

struct ProgramWin : ::testing::Test {
    TempFolder folder;
    fs::path recordFile;
    void SetUp() override {
        removeRegistrations();
        recordFile = folder.path / L"record.jsonl";
        SetEnvironmentVariableW(L"VLM_RUNTIME_RECORD", recordFile.wstring().c_str());
        SetEnvironmentVariableW(L"VLM_RUNTIME_PLAY", nullptr);
        // An answer stored by another test would be a profile at once.
        DeleteFileW((dataFolder() + L"\\profile.json").c_str());
    }
    void TearDown() override {
        removeRegistrations();
        SetEnvironmentVariableW(L"VLM_RUNTIME_RECORD", nullptr);
    }
    void registerRuntime() {
        const std::vector<RegistryEntry> entries = machineRegistration();
        ASSERT_FALSE(entries.empty()) << "the stand-in runtime not copied to Program Files";
        for (const RegistryEntry& e : entries) ASSERT_TRUE(writeEntry(e));
    }
    bool skipWithoutService() { return std::getenv("VLM_PROGRAM_SERVICE") == nullptr; }
    // Starts the program (exe, or the built one) with its shutdown stretched to pauseMs and waits
    // for its window to show; null when it did not.
    HWND startWithLongShutdown(Program& program, const wchar_t* pauseMs, const fs::path& exe = {}) {
        SetEnvironmentVariableW(L"VLM_DEV_SHUTDOWN_PAUSE_MS", pauseMs);
        const bool started = program.start(L"", exe);
        SetEnvironmentVariableW(L"VLM_DEV_SHUTDOWN_PAUSE_MS", nullptr);
        HWND window = started ? waitForWindow(10000) : nullptr;
        return window && pumpUntil([&] { return IsWindowVisible(window) != FALSE; }, 10000).done ? window : nullptr;
    }
};

TEST_F(ProgramWin, WindowAndPage) {
    registerRuntime();
    Program program;
    ASSERT_TRUE(program.start());
    HWND window = waitForWindow(10000);
    ASSERT_NE(window, nullptr);
    wchar_t title[64]{};
    GetWindowTextW(window, title, 64);
    EXPECT_STREQ(title, L"VELMORANTE");
    EXPECT_EQ(static_cast<DWORD>(GetWindowLongPtrW(window, GWL_STYLE)) & (WS_POPUP | WS_SYSMENU | WS_MINIMIZEBOX | WS_CAPTION | WS_THICKFRAME),
              static_cast<DWORD>(WS_POPUP | WS_SYSMENU | WS_MINIMIZEBOX));
    EXPECT_TRUE(GetWindowLongPtrW(window, GWL_EXSTYLE) & WS_EX_APPWINDOW);

    // Shown once the page is handed over; 400 x 560 at the system DPI, centred, rounded.
    ASSERT_TRUE(pumpUntil([&] { return IsWindowVisible(window) != FALSE; }, 10000).done);
    const int dpi = static_cast<int>(GetDpiForSystem());
    RECT r{};
    GetWindowRect(window, &r);
    const int width = MulDiv(400, dpi, 96), height = MulDiv(560, dpi, 96);
    EXPECT_EQ(r.right - r.left, width);
    EXPECT_EQ(r.bottom - r.top, height);
    EXPECT_EQ(r.left, (GetSystemMetrics(SM_CXSCREEN) - width) / 2);
    EXPECT_EQ(r.top, (GetSystemMetrics(SM_CYSCREEN) - height) / 2);
    HRGN region = CreateRectRgn(0, 0, 0, 0);
    ASSERT_NE(GetWindowRgn(window, region), ERROR);
    EXPECT_FALSE(PtInRegion(region, 0, 0));  // the corner is cut
    EXPECT_TRUE(PtInRegion(region, width / 2, height / 2));
    EXPECT_TRUE(PtInRegion(region, width / 2, 0));
    DeleteObject(region);

    // The page is resource 104, and snapshots keep arriving on the timer.
    std::vector<JsonValue> record;
    EXPECT_TRUE(pumpUntil(
                    [&] {
                        record = readRecord(recordFile);
                        return named(record, "call", "PostWebMessageAsJson").size() >= 3;
                    },
                    10000)
                    .done);
    const std::vector<JsonValue> navigations = named(record, "call", "NavigateToString");
    ASSERT_EQ(navigations.size(), 1u);
    EXPECT_TRUE(navigations[0].find("text").asText() == programPage());
    EXPECT_FALSE(programPage().empty());

    PostMessageW(window, WM_CLOSE, 0, 0);
    EXPECT_EQ(program.waitExit(15000), 0);
}

TEST_F(ProgramWin, WithoutTheRuntimeTheSplashShowsAtOnce) {
    BoxWatcher boxes;  // no service here: the installation ends with its message
    Program program;
    ASSERT_TRUE(program.start());
    HWND window = waitForWindow(10000);
    ASSERT_NE(window, nullptr);
    // Shown as soon as the runtime is found missing, not after a page (the window is created hidden
    // a moment before): seen here, or under the installation's message, which a quick failure on a
    // busy machine may bring up and close between two looks.
    const bool seen = pumpUntil([&] { return IsWindowVisible(window) != FALSE; }, 3000).done;
    EXPECT_EQ(program.waitExit(60000), 0);
    const std::vector<std::wstring> texts = boxes.finish();
    EXPECT_TRUE(seen || boxes.ownerShown);
    ASSERT_EQ(texts.size(), 1u);
    EXPECT_EQ(texts[0], L"Нет связи с сервером. Проверьте интернет и запустите программу снова.");
}

TEST_F(ProgramWin, OneInstanceAndTheAutostartSwitch) {
    registerRuntime();
    Program first;
    ASSERT_TRUE(first.start(L"--autostart"));
    HWND window = waitForWindow(10000);
    ASSERT_NE(window, nullptr);
    ASSERT_TRUE(pumpUntil([&] { return IsWindowVisible(window) != FALSE; }, 10000).done);

    struct Row {
        const wchar_t* arguments;
        DWORD minMs;  // how long the second start waits for the mutex before it gives up
    };
    const Row rows[] = {
        {L"", 0},
        {L"--AUTOSTART", 0},         // the switch is case-sensitive
        {L"x--autostartx", 4500},    // found inside a longer word: waits 5 s for the mutex
    };
    for (const Row& row : rows) {
        ShowWindow(window, SW_MINIMIZE);
        pumpUntil([&] { return IsIconic(window) != FALSE; }, 3000);
        Program second;
        const ULONGLONG t0 = GetTickCount64();
        ASSERT_TRUE(second.start(row.arguments));
        EXPECT_EQ(second.waitExit(15000), 0) << wideToUtf8(row.arguments);
        const ULONGLONG took = GetTickCount64() - t0;
        EXPECT_GE(took, row.minMs) << wideToUtf8(row.arguments);
        EXPECT_TRUE(pumpUntil([&] { return IsIconic(window) == FALSE; }, 3000).done) << wideToUtf8(row.arguments);
        EXPECT_EQ(FindWindowW(L"VelmoranteWindow", nullptr), window);
    }

    // "--autostart" without a service profile: nothing connects.
    std::vector<JsonValue> snapshots;
    pumpUntil(
        [&] {
            snapshots = named(readRecord(recordFile), "call", "PostWebMessageAsJson");
            return !snapshots.empty();
        },
        10000);
    ASSERT_FALSE(snapshots.empty());
    for (const JsonValue& s : snapshots) {
        JsonValue snapshot;
        ASSERT_TRUE(parseJson(s.find("json").asText(), snapshot));
        EXPECT_EQ(snapshot.find("phase").asText(), "idle");
    }
    EXPECT_EQ(countProcesses(L"xray-core.exe"), 0);
}

// Any process on the desktop can post the bootstrap's messages: forged ones, with a null or a
// garbage parameter, find nothing queued, change nothing (no second view) and crash nothing.
TEST_F(ProgramWin, ForgedBootstrapSignalsChangeNothing) {
    registerRuntime();
    Program program;
    ASSERT_TRUE(program.start());
    HWND window = waitForWindow(10000);
    ASSERT_NE(window, nullptr);
    ASSERT_TRUE(pumpUntil([&] { return IsWindowVisible(window) != FALSE; }, 10000).done);
    ASSERT_TRUE(PostMessageW(window, WM_APP + 3, 0, 0));                // "done", no text: success
    ASSERT_TRUE(PostMessageW(window, WM_APP + 2, 55, 0x5a5a5a5a5a5aLL));  // "progress", a wild pointer
    ASSERT_TRUE(PostMessageW(window, WM_APP + 3, 0, 0x7e7e7e7e7e7eLL));
    pumpUntil([] { return false; }, 1500);
    EXPECT_EQ(program.waitExit(0), -1) << "the program ended";
    EXPECT_EQ(named(readRecord(recordFile), "call", "NavigateToString").size(), 1u);
    PostMessageW(window, WM_CLOSE, 0, 0);
    EXPECT_EQ(program.waitExit(15000), 0);
}

// Programs and a library of system names planted beside the program, which is started in its own
// folder (the usual current folder, as a double click starts it): the library is never loaded
// (Wine's native-first override would take the plant otherwise), and the tunnel's DNS command, run
// with that folder current, starts netsh from System32. (The update starts no command interpreter:
// its own test plants cmd and ping.)
TEST_F(ProgramWin, PlantedProgramsAndLibrariesNeverRun) {
    TempFolder planted;
    const fs::path marks = folder.path / L"marks";
    fs::create_directories(marks);
    const fs::path here = fs::path(programPath()).parent_path();
    fs::copy_file(programPath(), planted.path / L"VELMORANTE.exe");
    for (const wchar_t* name : {L"netsh.exe", L"cmd.exe", L"ping.exe"}) {
        fs::copy_file(here / L"planted_marker.exe", planted.path / name);
    }
    fs::copy_file(here / L"planted_library.dll", planted.path / L"version.dll");
    SetEnvironmentVariableW(L"VLM_PLANT_MARKS", marks.wstring().c_str());
    wchar_t overrides[512] = {};
    const DWORD kept = GetEnvironmentVariableW(L"WINEDLLOVERRIDES", overrides, 512);
    const std::wstring before = kept > 0 && kept < 512 ? overrides : L"";
    SetEnvironmentVariableW(L"WINEDLLOVERRIDES", (before.empty() ? L"version=n,b" : before + L";version=n,b").c_str());
    registerRuntime();
    {
        Program program;
        ASSERT_TRUE(program.start(L"", planted.path / L"VELMORANTE.exe"));
        HWND window = waitForWindow(10000);
        ASSERT_NE(window, nullptr);
        ASSERT_TRUE(pumpUntil([&] { return IsWindowVisible(window) != FALSE; }, 10000).done);
        PostMessageW(window, WM_CLOSE, 0, 0);
        EXPECT_EQ(program.waitExit(15000), 0);
    }
    wchar_t previous[MAX_PATH] = {};
    GetCurrentDirectoryW(MAX_PATH, previous);
    SetCurrentDirectoryW(planted.path.wstring().c_str());
    windowsTunnelOps().adapters.setTunnelDns();
    SetCurrentDirectoryW(previous);
    SetEnvironmentVariableW(L"WINEDLLOVERRIDES", before.empty() ? nullptr : before.c_str());
    SetEnvironmentVariableW(L"VLM_PLANT_MARKS", nullptr);
    std::vector<std::string> left;  // a plant's mark is "<its name>.ran" or ".loaded"
    for (const fs::directory_entry& e : fs::directory_iterator(marks)) left.push_back(wideToUtf8(e.path().filename().wstring()));
    EXPECT_EQ(left, std::vector<std::string>{});
}

// A loop ended by WM_QUIT (the update's way out) hides the window before the shutdown, which is
// stretched here to 3 s, runs; the process still ends with 0.
TEST_F(ProgramWin, QuittingHidesTheWindowBeforeTheShutdown) {
    registerRuntime();
    Program program;
    HWND window = startWithLongShutdown(program, L"3000");
    ASSERT_NE(window, nullptr);
    ASSERT_TRUE(PostThreadMessageW(program.info.dwThreadId, WM_QUIT, 0, 0));
    EXPECT_TRUE(pumpUntil([&] { return IsWindow(window) && !IsWindowVisible(window); }, 2000).done);
    EXPECT_EQ(program.waitExit(15000), 0);
}

// The version an update started ("--after-update") waits for the ending instance's mutex, here
// through a shutdown stretched to 10 s, instead of giving up; it removes the executable the update
// renamed aside, and it alone runs afterwards.
TEST_F(ProgramWin, TheUpdatedVersionWaitsForTheEndingOne) {
    registerRuntime();
    TempFolder installed;
    const fs::path exe = installed.path / L"VELMORANTE.exe";
    const fs::path aside = exe.wstring() + L".old";
    fs::copy_file(programPath(), exe);
    fs::copy_file(programPath(), aside);
    Program ending;
    HWND window = startWithLongShutdown(ending, L"10000", exe);
    ASSERT_NE(window, nullptr);
    ASSERT_TRUE(PostThreadMessageW(ending.info.dwThreadId, WM_QUIT, 0, 0));
    ASSERT_TRUE(pumpUntil([&] { return !IsWindowVisible(window); }, 3000).done);
    Program updated;
    ASSERT_TRUE(updated.start(L"--after-update", exe));
    EXPECT_EQ(ending.waitExit(20000), 0);
    HWND fresh = nullptr;
    EXPECT_TRUE(pumpUntil([&] {
        fresh = FindWindowW(L"VelmoranteWindow", nullptr);
        return fresh && IsWindowVisible(fresh);
    }, 30000).done);
    EXPECT_EQ(updated.waitExit(0), -1) << "the updated version gave up";
    EXPECT_TRUE(pumpUntil([&] { return !fs::exists(aside); }, 6000).done);
    if (fresh) PostMessageW(fresh, WM_CLOSE, 0, 0);
    EXPECT_EQ(updated.waitExit(15000), 0);
}

// An instance of another integrity level (an elevated one) holds a mutex whose access list grants
// this user less than full access: the second start still counts it as running.
TEST_F(ProgramWin, AMutexThatCannotBeFullyOpenedMeansRunning) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:(A;;GA;;;SY)", SDDL_REVISION_1, &descriptor,
                                                                     nullptr));
    SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor, FALSE};
    HANDLE held = CreateMutexW(&attributes, TRUE, L"Local\\VELMORANTE-single-instance");
    const DWORD created = GetLastError();
    LocalFree(descriptor);
    ASSERT_NE(held, nullptr);
    ASSERT_NE(created, static_cast<DWORD>(ERROR_ALREADY_EXISTS)) << "another instance runs";
    registerRuntime();
    Program second;
    ASSERT_TRUE(second.start());
    EXPECT_EQ(second.waitExit(10000), 0);
    EXPECT_EQ(FindWindowW(L"VelmoranteWindow", nullptr), nullptr);
    ReleaseMutex(held);
    CloseHandle(held);
}

// With the development service and a VLESS server (45-program): "--autostart" connects once the
// profile arrives; closing the window hides it at once, stops the engines and ends the process.
TEST_F(ProgramWin, ClosingWhileConnectedStopsTheTunnel) {
    if (skipWithoutService()) GTEST_SKIP() << "runs inside scripts/test.d/45-program";
    registerRuntime();
    Program program;
    ASSERT_TRUE(program.start(L"--autostart"));
    HWND window = waitForWindow(10000);
    ASSERT_NE(window, nullptr);
    const bool running = pumpUntil(
        [&] {
            for (const JsonValue& s : named(readRecord(recordFile), "call", "PostWebMessageAsJson")) {
                if (s.find("json").asText().find("\"phase\":\"running\"") != std::string::npos) return true;
            }
            return false;
        },
        40000).done;
    const std::vector<JsonValue> shown = named(readRecord(recordFile), "call", "PostWebMessageAsJson");
    ASSERT_TRUE(running) << (shown.empty() ? std::string("no snapshot") : shown.back().find("json").asText());
    EXPECT_EQ(countProcesses(L"xray-core.exe"), 1);
    EXPECT_EQ(countProcesses(L"sing-box.exe"), 1);
    // The suite pictures the connected window: it waits for "connected" and answers with "pictured".
    if (const char* folder = std::getenv("VLM_PROGRAM_SHOT_DIR")) {
        writeFileBytes(fs::path(folder) / "connected", "1");
        pumpUntil([&] { return fs::exists(fs::path(folder) / "pictured"); }, 15000);
    }
    PostMessageW(window, WM_CLOSE, 0, 0);
    EXPECT_TRUE(pumpUntil([&] { return IsWindowVisible(window) == FALSE; }, 10000).done);
    EXPECT_EQ(program.waitExit(20000), 0);
    EXPECT_EQ(countProcesses(L"xray-core.exe") + countProcesses(L"sing-box.exe"), 0);
}

}  // namespace
