// The update procedure over fake system calls: what ends the program, what is deleted, what the
// status line says.
#include "update/update.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "control/controller.h"

namespace {

struct Outcome {
    std::vector<std::string> events;  // in order: disconnect, download, replace, delete, quit
    bool stopFlag = false;
    int32_t progress = 0;
    std::string status;
    bool error = false;
    std::vector<int32_t> progressSeen;  // update.progress at each notification
};

struct Scenario {
    const char* what;
    bool downloads;
    std::string fileDigest;  // of the bytes as written
    std::string announced;
    ReplaceOutcome replaced = ReplaceOutcome::Started;
    bool connected = false;
};

Outcome run(const Scenario& s) {
    Outcome out;
    SystemOps system;
    system.tunnel.stop = [&out](EngineState&) { out.events.push_back("stop tunnel"); };
    TunnelController* self = nullptr;
    TunnelController controller([&] { out.progressSeen.push_back(self->update.progress); }, 7, system);
    self = &controller;
    controller.update.progress = 0;  // as startUpdate leaves it
    if (s.connected) controller.phase = TunnelPhase::Running;

    UpdateOps ops;
    ops.executable = L"C:\\app\\VELMORANTE.exe";
    ops.download = [&](const std::wstring& executable, const std::string& url,
                       const std::function<void(double)>& progress) {
        out.events.push_back("download " + url + (executable == ops.executable ? " beside" : " elsewhere"));
        for (double f : {0.004, 0.3701, 0.3799, 1.0}) progress(f);
        return UpdateDownload{s.downloads, L"C:\\app\\VELMORANTE.exe.r.new", s.fileDigest};
    };
    ops.replace = [&](const std::wstring&, const std::wstring& path, const std::string& announced) {
        out.events.push_back(path == L"C:\\app\\VELMORANTE.exe.r.new" && announced == s.announced ? "replace" : "replace other");
        return s.replaced;
    };
    ops.deleteFile = [&](const std::wstring& path) {
        out.events.push_back(path == L"C:\\app\\VELMORANTE.exe.r.new" ? "delete download" : "delete elsewhere");
    };
    ops.quitThread = [&](uint32_t thread) { out.events.push_back("quit " + std::to_string(thread)); };

    runUpdate(controller, "https://h/u.exe", s.announced, ops);
    out.stopFlag = controller.stopFlag.load();
    out.progress = controller.update.progress;
    out.status = controller.status;
    out.error = controller.error;
    return out;
}

TEST(Update, Outcomes) {
    const std::string digest(64, 'a');
    const std::string upper(64, 'A');
    struct Row {
        Scenario scenario;
        std::vector<std::string> events;
        bool stopFlag;
        int32_t progress;
        std::string status;
        bool error;
    };
    const std::string dl = "download https://h/u.exe beside";
    const std::vector<Row> rows = {
        {{"verified", true, digest, digest}, {dl, "replace", "quit 7"}, true, 100, kStatusReady, false},
        {{"upper-case announcement", true, digest, upper}, {dl, "replace", "quit 7"}, true, 100, kStatusReady, false},
        // The replacement rolled back: the program keeps running and says so.
        {{"not started", true, digest, digest, ReplaceOutcome::Failed},
         {dl, "replace", "delete download"}, false, -1, kUpdateDownloadFailed, true},
        {{"changed before the check through the handle", true, digest, digest, ReplaceOutcome::DigestMismatch},
         {dl, "replace", "delete download"}, false, -1, kUpdateDigestMismatch, true},
        {{"mismatch while writing", true, std::string(64, 'b'), digest},
         {dl, "delete download"}, false, -1, kUpdateDigestMismatch, true},
        {{"download failed", false, digest, digest}, {dl, "delete download"}, false, -1, kUpdateDownloadFailed, true},
        {{"connected: disconnect first", false, digest, digest, ReplaceOutcome::Started, true},
         {"stop tunnel", dl, "delete download"}, false, -1, kUpdateDownloadFailed, true},
    };
    for (const Row& row : rows) {
        const Outcome out = run(row.scenario);
        EXPECT_EQ(out.events, row.events) << row.scenario.what;
        EXPECT_EQ(out.stopFlag, row.stopFlag) << row.scenario.what;
        EXPECT_EQ(out.progress, row.progress) << row.scenario.what;
        EXPECT_EQ(out.status, row.status) << row.scenario.what;
        EXPECT_EQ(out.error, row.error) << row.scenario.what;
    }
}

TEST(Update, ProgressNotifiesOnlyChangedPercents) {
    const Outcome ok = run({"verified", true, std::string(64, 'a'), std::string(64, 'a')});
    // 0.4 % and 0 % are the same whole percent as the start; 37.01 % and 37.99 % are one.
    EXPECT_EQ(ok.progressSeen, (std::vector<int32_t>{37, 100}));
    const Outcome connected = run({"connected", false, "", "x", ReplaceOutcome::Started, true});
    // Stopping and idle ("Готов.") come first, then the download's percentages, then the failure.
    EXPECT_EQ(connected.progressSeen, (std::vector<int32_t>{0, 0, 37, 100, -1}));
}

}  // namespace
