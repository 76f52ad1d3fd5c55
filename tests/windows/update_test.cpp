// The update under Wine against the development service (scripts/test.d/44-bootstrap-update; the
// names and addresses are those of the bootstrap test). The executable replaced is a copy of the
// small update-old.exe in a temporary folder; the service offers downloads/update-new.exe. The
// replaced program is not the running one here: the program's own test shows the mutex hand-over.
#include "update/update.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <cctype>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "control/controller.h"
#include "dev_service_support_win.h"
#include "foundation/crypto.h"
#include "foundation/http.h"
#include "foundation/text.h"

namespace {

namespace fs = std::filesystem;

const auto* const authority = ::testing::AddGlobalTestEnvironment(new TrustServiceAuthority);

// What the page would see: the status and progress at every notification.
struct Seen {
    std::vector<std::string> statuses;
    std::vector<int32_t> progress;
    bool stopFlag = false;
    bool quitPosted = false;
    std::vector<std::string> events;  // "stop tunnel" and the first progress, in order
};

struct Installed {
    TempFolder folder;
    fs::path executable = folder.path / L"Program.exe";
    std::string oldBytes = readFileBytes(downloads() / L"update-old.exe");
    Installed() { writeFileBytes(executable, oldBytes); }
    // Every file in the folder but the program itself: what an update left behind.
    std::vector<std::string> leftovers() const {
        std::vector<std::string> names;
        for (const fs::directory_entry& e : fs::directory_iterator(folder.path)) {
            if (e.path() != executable) names.push_back(wideToUtf8(e.path().filename().wstring()));
        }
        return names;
    }
};

Seen runUpdateOf(const Installed& installed, const std::string& url, const std::string& sha256, bool connected = false,
                 const UpdateTestHooks& hooks = {}, uint64_t limitBytes = 0) {
    Seen seen;
    SystemOps system;
    system.tunnel.stop = [&seen](EngineState&) { seen.events.push_back("stop tunnel"); };
    TunnelController* self = nullptr;
    TunnelController controller(
        [&] {
            std::lock_guard<std::mutex> hold(self->lock);
            seen.statuses.push_back(self->status);
            seen.progress.push_back(self->update.progress);
            if (self->update.progress > 0 && seen.events.size() < 2) seen.events.push_back("progress");
        },
        GetCurrentThreadId(), system);
    self = &controller;
    controller.update.progress = 0;  // as startUpdate leaves it
    if (connected) controller.phase = TunnelPhase::Running;

    UpdateOps ops = windowsUpdateOps(hooks, limitBytes);
    ops.executable = installed.executable.wstring();
    runUpdate(controller, url, sha256, ops);

    seen.stopFlag = controller.stopFlag.load();
    MSG msg;
    seen.quitPosted = PeekMessageW(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE) != 0;
    return seen;
}

std::string upper(std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

const std::string kNewUrl = "https://api.velmorante.test/files/update-new.exe";

// The digest of what the service sends for url, fetched once.
std::string servedDigest(const std::string& url) {
    TempFolder scratch;
    const fs::path file = scratch.path / L"served";
    return httpDownload(utf8ToWide(url), file.wstring(), nullptr) ? sha256FileHex(file.wstring()) : std::string();
}

// Every failure before the new version starts: the installed program stays, byte for byte, nothing
// is left beside it, and the status line says why.
TEST(Update, FailuresLeaveTheProgramAlone) {
    const std::string newDigest = sha256FileHex((downloads() / L"update-new.exe").wstring());
    const std::string dataUrl = "https://api.velmorante.test/data/65536";
    const std::string oldBytes = readFileBytes(downloads() / L"update-old.exe");
    UpdateTestHooks swapped;  // another program of the user writes its own bytes into the download
    swapped.downloaded = [&oldBytes](const std::wstring& path) { ASSERT_TRUE(writeFileBytes(path, oldBytes)); };
    struct Row {
        const char* what;
        std::string url, sha256;
        const char* status;
        UpdateTestHooks hooks = {};
        uint64_t limit = 0;
    };
    const std::vector<Row> rows = {
        {"digest mismatch", kNewUrl, sha256FileHex((downloads() / L"update-old.exe").wstring()), kUpdateDigestMismatch},
        {"download refused", kNewUrl + "?status=500", newDigest, kUpdateDownloadFailed},
        {"download cut short", kNewUrl + "?truncate=5000", newDigest, kUpdateDownloadFailed},
        {"plain http", "http://api.velmorante.test/files/update-new.exe", newDigest, kUpdateDownloadFailed},
        {"replaced between download and check", kNewUrl, newDigest, kUpdateDigestMismatch, swapped},
        {"announced length over the cap", "https://api.velmorante.test/data/2097152", newDigest, kUpdateDownloadFailed,
         {}, 1048576},
        {"no length, running past the cap", "https://api.velmorante.test/data/2097152?nolength=1", newDigest,
         kUpdateDownloadFailed, {}, 1048576},
        // Verified, but no program: the start fails and the old name is restored.
        {"the new version does not start", dataUrl, servedDigest(dataUrl), kUpdateDownloadFailed},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        ASSERT_FALSE(row.sha256.empty());
        Installed installed;
        const Seen seen = runUpdateOf(installed, row.url, row.sha256, false, row.hooks, row.limit);
        ASSERT_FALSE(seen.statuses.empty());
        EXPECT_EQ(seen.statuses.back(), row.status);
        EXPECT_EQ(seen.progress.back(), -1);
        EXPECT_FALSE(seen.stopFlag);
        EXPECT_FALSE(seen.quitPosted);
        EXPECT_EQ(installed.leftovers(), std::vector<std::string>{});
        EXPECT_EQ(readFileBytes(installed.executable), installed.oldBytes);
    }
}

TEST(Update, ProgressNotifiedOnlyWhenThePercentChanges) {
    const std::string wrong(64, '0');
    struct Row {
        const char* what;
        std::string url;
        bool announcesLength;
    };
    const std::vector<Row> rows = {
        {"8 MiB with Content-Length", "https://api.velmorante.test/data/8388608", true},
        {"without Content-Length", "https://api.velmorante.test/data/8388608?nolength=1", false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        Installed installed;
        const Seen seen = runUpdateOf(installed, row.url, wrong);
        ASSERT_FALSE(seen.progress.empty());
        EXPECT_EQ(seen.progress.back(), -1);  // the mismatch at the end
        const std::vector<int32_t> during(seen.progress.begin(), seen.progress.end() - 1);
        if (!row.announcesLength) {
            EXPECT_TRUE(during.empty());  // the page keeps showing 0
            continue;
        }
        ASSERT_FALSE(during.empty());
        EXPECT_EQ(during.back(), 100);
        EXPECT_LE(during.size(), 100u);  // far fewer than the reads
        for (size_t i = 1; i < during.size(); ++i) EXPECT_GT(during[i], during[i - 1]) << i;
    }
}

TEST(Update, DisconnectsFirst) {
    Installed installed;
    const Seen seen = runUpdateOf(installed, "https://api.velmorante.test/data/1048576", std::string(64, '0'), true);
    EXPECT_EQ(seen.events, (std::vector<std::string>{"stop tunnel", "progress"}));
    ASSERT_GE(seen.statuses.size(), 3u);
    EXPECT_EQ(seen.statuses[0], kStatusStopping);
    // "Готов." from the disconnect until the download ends.
    for (size_t i = 1; i + 1 < seen.statuses.size(); ++i) EXPECT_EQ(seen.statuses[i], kStatusReady) << i;
    EXPECT_EQ(seen.statuses.back(), kUpdateDigestMismatch);
}

// The replacement itself: the checked download renamed over the program and started by full path
// with the switch that waits for the old instance; the upper-case announcement is accepted. While
// it is held nobody writes or deletes it, and a cmd or ping planted beside the program never runs.
TEST(Update, ReplacesAndRestartsTheProgram) {
    Installed installed;
    for (const wchar_t* name : {L"cmd.exe", L"ping.exe"}) {
        ASSERT_TRUE(writeFileBytes(installed.folder.path / name, installed.oldBytes));
    }
    const std::string newBytes = readFileBytes(downloads() / L"update-new.exe");
    const std::string digest = upper(sha256FileHex((downloads() / L"update-new.exe").wstring()));
    DWORD writeError = 0, deleteError = 0;
    UpdateTestHooks hooks;
    hooks.held = [&](const std::wstring& path) {
        HANDLE writer = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, 0, nullptr);
        writeError = writer == INVALID_HANDLE_VALUE ? GetLastError() : 0;
        if (writer != INVALID_HANDLE_VALUE) CloseHandle(writer);
        deleteError = DeleteFileW(path.c_str()) ? 0 : GetLastError();
    };
    const Seen seen = runUpdateOf(installed, kNewUrl, digest, false, hooks);
    EXPECT_EQ(writeError, static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_EQ(deleteError, static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_TRUE(seen.stopFlag);
    EXPECT_TRUE(seen.quitPosted);
    ASSERT_FALSE(seen.statuses.empty());
    EXPECT_EQ(seen.statuses.back(), kStatusReady);
    EXPECT_EQ(seen.progress.back(), 100);

    const fs::path started = installed.executable.wstring() + L".started";
    const uint64_t deadline = GetTickCount64() + 20000;
    while (GetTickCount64() < deadline && readFileBytes(started).empty()) Sleep(100);
    EXPECT_EQ(readFileBytes(started), "new --after-update");
    EXPECT_EQ(readFileBytes(installed.executable), newBytes);
    // The old build renamed aside, gone at the next start.
    const fs::path aside = installed.executable.wstring() + kReplacedSuffix;
    EXPECT_EQ(readFileBytes(aside), installed.oldBytes);
    removeReplacedExecutable(installed.executable.wstring(), 5000);
    EXPECT_FALSE(fs::exists(aside));
    fs::remove(started);
    EXPECT_EQ(installed.leftovers(), (std::vector<std::string>{"cmd.exe", "ping.exe"}));
}

}  // namespace

int main(int argc, char** argv) {
    MSG msg;
    PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);  // a message queue for the update's WM_QUIT
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
