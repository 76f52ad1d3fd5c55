// The runtime bootstrap under Wine against the development service, in the namespace that
// scripts/test.d/44-bootstrap-update makes: api.velmorante.test is 127.0.0.2, and the service listens
// on port 443 of 127.0.0.1 and 127.0.0.2. It serves the fixture downloads (build/downloads) and
// offers installer-signed.exe in its prerequisite answer. Its /api/v1/profile answer is the file
// offer.json in VLM_SERVICE_DIR, signed with the nonce echoed: the cases write there whatever
// prerequisite answer they need and point the bootstrap at that path.
// The stand-in installer installs the stand-in runtime in the prefix; every case removes it again.
#include "shell/bootstrap_win.h"
#include "shell/shell_state_win.h"

#include <cctype>
#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "dev_service_support_win.h"
#include "foundation/crypto.h"
#include "foundation/text.h"

namespace {

namespace fs = std::filesystem;

std::string digestOf(const wchar_t* name) { return sha256FileHex((downloads() / name).wstring()); }

// The Windows folder's Temp, where the installer gets a fresh folder "VELMORANTE-setup-<random>".
fs::path systemTemp() {
    wchar_t windows[MAX_PATH] = {};
    GetSystemWindowsDirectoryW(windows, MAX_PATH);
    return fs::path(windows) / L"Temp";
}
std::vector<fs::path> installerFolders() {
    std::vector<fs::path> found;
    std::error_code ec;
    for (const fs::directory_entry& e : fs::directory_iterator(systemTemp(), ec)) {
        if (e.path().filename().wstring().rfind(L"VELMORANTE-setup-", 0) == 0) found.push_back(e.path());
    }
    return found;
}

// The fixture itself, run directly and waited for: removes what an install of ours left.
void uninstallRuntime() {
    std::wstring command = L"\"" + (downloads() / L"installer-unsigned.exe").wstring() + L"\" /uninstall";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    SetEnvironmentVariableW(L"VLM_RUNTIME_INSTALLER_RECORD", nullptr);
    if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) {
        return;
    }
    WaitForSingleObject(process.hProcess, 10000);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
}

// The service's authority trusted, and no runtime installed, for the run.
struct Surroundings : TrustServiceAuthority {
    void SetUp() override {
        TrustServiceAuthority::SetUp();
        uninstallRuntime();  // what a crashed run left
        std::error_code ec;
        for (const fs::path& left : installerFolders()) fs::remove_all(left, ec);
        ASSERT_FALSE(isWebViewRuntimeInstalled()) << "a web view runtime is registered in this prefix";
    }
    void TearDown() override {
        uninstallRuntime();
        TrustServiceAuthority::TearDown();
    }
};
const auto* const surroundings = ::testing::AddGlobalTestEnvironment(new Surroundings);

// ---- one run of the routine, and what reached the window --------------------------------------

struct Progress {
    std::wstring text;
    int32_t percent;
};
struct Seen {
    std::vector<Progress> progress;
    std::vector<std::string> done;  // every WM_APP_BOOTSTRAP_DONE text
    std::vector<std::string> installer;  // the installer's record: "args=…", "show=…", "image=…", "result=…"
    bool installerLeft = false;          // the installer's folder is still there
    int errorBoxes = 0;
};

struct Window {
    HWND handle = nullptr;
    Window() {
        WNDCLASSEXW windowClass{};
        windowClass.cbSize = sizeof windowClass;
        windowClass.lpfnWndProc = DefWindowProcW;
        windowClass.hInstance = GetModuleHandleW(nullptr);
        windowClass.lpszClassName = L"VlmBootstrapTest";
        RegisterClassExW(&windowClass);
        handle = CreateWindowExW(0, L"VlmBootstrapTest", L"VELMORANTE", WS_POPUP, 0, 0, 100, 100, nullptr, nullptr,
                                 GetModuleHandleW(nullptr), nullptr);
        ShellState& state = shellState();
        state.mainWindow = handle;
        state.bootstrapping = true;
    }
    ~Window() {
        DestroyWindow(handle);
        shellState().mainWindow = nullptr;
        shellState().bootstrapping = false;
    }
};

// The signals, answered as the window procedure answers them: from the queue.
void collect(HWND window, Seen& run) {
    MSG msg;
    while (PeekMessageW(&msg, window, WM_APP_PROGRESS, WM_APP_BOOTSTRAP_DONE, PM_REMOVE)) {
        if (msg.message == WM_APP_PROGRESS) {
            for (BootstrapProgress& step : takeBootstrapProgress()) run.progress.push_back({step.text, step.percent});
        } else if (std::string text; msg.message == WM_APP_BOOTSTRAP_DONE && takeBootstrapResult(text)) {
            run.done.push_back(text);
        }
    }
}

// The shell's own error box of a failed start (the start asks for no "no UI" flag): dismissed.
HWND dismissErrorBox() {
    HWND box = FindWindowW(L"#32770", nullptr);
    DWORD process = 0;
    if (!box || !GetWindowThreadProcessId(box, &process) || process != GetCurrentProcessId()) return nullptr;
    PostMessageW(box, WM_COMMAND, IDOK, 0);
    return box;
}

// The routine on a worker thread, as the program runs it; this thread owns the window.
// mode: the stand-in installer's behaviour (VLM_RUNTIME_INSTALLER).
Seen runBootstrap(const BootstrapSettings& settings, const wchar_t* mode = L"") {
    TempFolder scratch;
    const fs::path record = scratch.path / "installer.txt";
    SetEnvironmentVariableW(L"VLM_RUNTIME_INSTALLER", mode);
    SetEnvironmentVariableW(L"VLM_RUNTIME_INSTALLER_RECORD", record.wstring().c_str());
    Window window;
    std::thread worker([settings, handle = window.handle] { bootstrapWebViewRuntime(handle, settings); });
    Seen run;
    std::set<HWND> boxes;
    const uint64_t deadline = GetTickCount64() + 120000;
    while (run.done.empty() && GetTickCount64() < deadline) {
        collect(window.handle, run);
        if (HWND box = dismissErrorBox()) boxes.insert(box);
        Sleep(20);
    }
    run.errorBoxes = static_cast<int>(boxes.size());
    if (run.done.empty()) {
        worker.detach();  // the case fails; what the routine still posts finds no window
        ADD_FAILURE() << "no WM_APP_BOOTSTRAP_DONE within 120 s";
        return run;
    }
    worker.join();
    collect(window.handle, run);  // nothing may follow the one WM_APP_BOOTSTRAP_DONE
    std::istringstream lines(readFileBytes(record));
    for (std::string line; std::getline(lines, line);) run.installer.push_back(line);
    run.installerLeft = !installerFolders().empty();
    SetEnvironmentVariableW(L"VLM_RUNTIME_INSTALLER", nullptr);
    return run;
}

// A prerequisite answer of the case's choosing, through the service's signed /api/v1/profile.
BootstrapSettings offering(const std::string& answer) {
    EXPECT_TRUE(writeFileBytes(serviceDir() + "\\offer.json", answer));
    BootstrapSettings settings;
    settings.prereqPath = "/api/v1/profile";
    settings.confirmTries = 2;
    settings.confirmStepMs = 100;
    return settings;
}
std::string offer(const std::string& url, const std::string& sha256) {
    return R"({"webview2":{"url":")" + url + R"(","sha256":")" + sha256 + R"("}})";
}
std::string served(const char* name) { return std::string("https://api.velmorante.test/files/") + name; }

bool installerStarted(const Seen& run) {
    for (const std::string& line : run.installer) {
        if (line.rfind("args=", 0) == 0) return true;
    }
    return false;
}

TEST(Bootstrap, FailuresReachTheWindow) {
    const std::string signedDigest = digestOf(L"installer-signed.exe");
    struct Row {
        const char* what;
        std::string prereqPath;  // of the real prerequisite answer, with the service's switches
        std::string answer;      // else this answer
        const wchar_t* mode;
        const char* message;
        bool started;
        std::function<void(const std::wstring&)> downloaded = nullptr;
    };
    const std::string unsignedBytes = readFileBytes(downloads() / L"installer-unsigned.exe");
    auto swap = [&unsignedBytes](const std::wstring& installer) { ASSERT_TRUE(writeFileBytes(installer, unsignedBytes)); };
    const std::vector<Row> rows = {
        {"answer without signature", "/api/v1/prereq?nosig=1", "", L"", kBootstrapNoAnswer, false},
        {"answer altered after signing", "/api/v1/prereq?alter=1", "", L"", kBootstrapNoAnswer, false},
        {"answer with an earlier nonce", "/api/v1/prereq?replay=1", "", L"", kBootstrapNoAnswer, false},
        {"\"webview2\" is a string", "", R"({"webview2":")" + served("installer-signed.exe") + R"("})", L"",
         kBootstrapNoInstaller, false},
        {"no digest", "", R"({"webview2":{"url":")" + served("installer-signed.exe") + R"("}})", L"",
         kBootstrapNoInstaller, false},
        {"download refused", "", offer(served("installer-signed.exe") + "?status=404", signedDigest), L"",
         kBootstrapDownloadFailed, false},
        {"download cut short", "", offer(served("installer-signed.exe") + "?truncate=1000", signedDigest), L"",
         kBootstrapDownloadFailed, false},
        {"plain http", "", offer("http://api.velmorante.test/files/installer-signed.exe", signedDigest), L"",
         kBootstrapDownloadFailed, false},
        {"digest mismatch", "", offer(served("installer-signed.exe"), digestOf(L"installer-unsigned.exe")), L"",
         kBootstrapCheckFailed, false},
        {"unsigned installer", "", offer(served("installer-unsigned.exe"), digestOf(L"installer-unsigned.exe")), L"",
         kBootstrapCheckFailed, false},
        {"altered after signing", "", offer(served("installer-altered.exe"), digestOf(L"installer-altered.exe")), L"",
         kBootstrapCheckFailed, false},
        {"signed by another name", "", offer(served("installer-other.exe"), digestOf(L"installer-other.exe")), L"",
         kBootstrapCheckFailed, false},
        {"swapped after its download", "", offer(served("installer-signed.exe"), signedDigest), L"",
         kBootstrapCheckFailed, false, swap},
        {"not a program", "", offer(served("installer-dll.exe"), digestOf(L"installer-dll.exe")), L"",
         kBootstrapStartFailed, false},
        {"installer installs nothing", "", offer(served("installer-signed.exe"), signedDigest), L"never",
         kBootstrapNotInstalled, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        BootstrapSettings settings;
        if (row.answer.empty()) {
            settings.prereqPath = row.prereqPath;
        } else {
            settings = offering(row.answer);
        }
        settings.downloaded = row.downloaded;
        const Seen run = runBootstrap(settings, row.mode);
        ASSERT_EQ(run.done.size(), 1u);
        EXPECT_EQ(run.done[0], row.message);
        EXPECT_EQ(installerStarted(run), row.started);
        EXPECT_EQ(run.errorBoxes, 0);  // started by full path, not through the shell
        EXPECT_FALSE(run.installerLeft);
        EXPECT_FALSE(isWebViewRuntimeInstalled());
    }
}

// The real prerequisite answer, the signed installer, run hidden with "/silent /install" from a
// fresh folder of its own; while it is checked and run nobody writes or deletes it.
TEST(Bootstrap, InstallsTheRuntime) {
    BootstrapSettings settings;
    std::wstring heldPath;
    DWORD writeError = 0, deleteError = 0;
    settings.held = [&](const std::wstring& installer) {
        heldPath = installer;
        HANDLE writer = CreateFileW(installer.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, 0, nullptr);
        writeError = writer == INVALID_HANDLE_VALUE ? GetLastError() : 0;
        if (writer != INVALID_HANDLE_VALUE) CloseHandle(writer);
        deleteError = DeleteFileW(installer.c_str()) ? 0 : GetLastError();
    };
    const Seen run = runBootstrap(settings);
    ASSERT_EQ(run.done.size(), 1u);
    EXPECT_EQ(run.done[0], "");
    EXPECT_TRUE(isWebViewRuntimeInstalled());
    EXPECT_FALSE(run.installerLeft);
    EXPECT_EQ(writeError, static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_EQ(deleteError, static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    const fs::path held(heldPath);
    EXPECT_EQ(held.filename().wstring(), kInstallerFileName);
    EXPECT_EQ(held.parent_path().parent_path(), systemTemp());
    // The image as the system names it: the letter case of its folders may differ from ours.
    const auto folded = [](std::vector<std::string> lines) {
        for (std::string& line : lines) {
            for (char& ch : line) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
        }
        return lines;
    };
    const std::vector<std::string> installer = {
        "args=/silent /install", "show=" + std::to_string(SW_HIDE), "image=" + wideToUtf8(heldPath), "result=installed"};
    EXPECT_EQ(folded(run.installer), folded(installer));

    // Preparing, the download's percentages, then installing: the check at 100 % is not shown
    // because the download's last percent was 100 already.
    ASSERT_GE(run.progress.size(), 4u);
    EXPECT_EQ(run.progress.front().text, kSplashPreparing);
    EXPECT_EQ(run.progress.front().percent, 0);
    EXPECT_EQ(run.progress.back().text, kSplashInstalling);
    EXPECT_EQ(run.progress.back().percent, -1);
    const Progress& last = run.progress[run.progress.size() - 2];
    EXPECT_EQ(last.text, kSplashDownloading);
    EXPECT_EQ(last.percent, 100);
    for (size_t i = 1; i + 1 < run.progress.size(); ++i) {
        EXPECT_EQ(run.progress[i].text, kSplashDownloading) << i;
        EXPECT_GT(run.progress[i].percent, run.progress[i - 1].percent) << i;
    }
    uninstallRuntime();
}

// A download of many reads posts one message per whole percent at most.
TEST(Bootstrap, ProgressOnlyWhenThePercentChanges) {
    constexpr size_t kBytes = 8 * 1024 * 1024;  // at least 128 reads of 64 KiB
    const Seen run = runBootstrap(offering(offer("https://api.velmorante.test/data/" + std::to_string(kBytes),
                                                std::string(64, '0'))));
    ASSERT_EQ(run.done.size(), 1u);
    EXPECT_EQ(run.done[0], kBootstrapCheckFailed);
    size_t downloading = 0;
    for (size_t i = 1; i < run.progress.size(); ++i) {
        EXPECT_NE(run.progress[i].percent, run.progress[i - 1].percent) << i;
        if (run.progress[i].text == kSplashDownloading) ++downloading;
    }
    EXPECT_GE(downloading, 2u);
    EXPECT_LE(downloading, 101u);
    EXPECT_FALSE(installerStarted(run));
}

// An installer still busy when the wait ends counts as finished: the runtime found while it is
// confirmed still makes a success.
TEST(Bootstrap, InstallerOutlastingTheWait) {
    BootstrapSettings settings = offering(offer(served("installer-signed.exe"), digestOf(L"installer-signed.exe")));
    settings.installerWaitMs = 200;
    settings.confirmTries = 20;
    settings.confirmStepMs = 500;
    const Seen run = runBootstrap(settings, L"delay:2500");
    ASSERT_EQ(run.done.size(), 1u);
    EXPECT_EQ(run.done[0], "");
    EXPECT_TRUE(isWebViewRuntimeInstalled());
    // The installer was still running when its file was to be deleted; the platform may refuse.
    std::error_code ec;
    for (const fs::path& left : installerFolders()) fs::remove_all(left, ec);
    uninstallRuntime();
}

}  // namespace
