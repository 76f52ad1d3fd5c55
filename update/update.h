// The self-update: download the offered build beside the executable under an unguessable name,
// hashing while writing; check it again through a handle that keeps everyone else from writing or
// deleting it; rename the running executable aside ("E.old"), rename the checked file into its place
// through that handle and start it by full path, telling it to wait for this instance's mutex. No
// command interpreter takes part. Any failure before the new one starts puts the old executable
// back, deletes the download, says so in the status line, and the program keeps running.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "foundation/log.h"

struct TunnelController;

inline constexpr const char* kUpdateDownloadFailed = "Не удалось скачать обновление.";
inline constexpr const char* kUpdateDigestMismatch = "Обновление не прошло проверку контрольной суммы.";
inline constexpr const wchar_t* kUpdateSuffix = L".new";
inline constexpr const wchar_t* kReplacedSuffix = L".old";
// The switch the new executable is started with: it waits this long for the ending one's mutex.
inline constexpr const wchar_t* kAfterUpdateSwitch = L"--after-update";
inline constexpr uint32_t kAfterUpdateMutexWaitMs = 30000;

// A download beside the executable: its path (empty when none was made) and the digest of the bytes
// written, as they were written.
struct UpdateDownload {
    bool ok = false;
    std::wstring path;
    std::string digestHex;
};

enum class ReplaceOutcome { Started, DigestMismatch, Failed };

// What the update does to the system: the real calls in update_win.cpp, fakes in tests.
// Defaults: nothing downloads, nothing is replaced, deleted or started.
struct UpdateOps {
    std::wstring executable;  // the file to replace
    // GET of an https URL into a new file beside the executable, progress as a fraction 0..1.
    std::function<UpdateDownload(const std::wstring& executable, const std::string& url,
                                 const std::function<void(double)>& progress)>
        download = [](const std::wstring&, const std::string&, const std::function<void(double)>&) {
            return UpdateDownload{};
        };
    // The checked replacement of the executable by the download and the start of the new one; on
    // any failure everything is as before but the download, which the caller deletes.
    std::function<ReplaceOutcome(const std::wstring& executable, const std::wstring& path, const std::string& sha256)>
        replace = [](const std::wstring&, const std::wstring&, const std::string&) { return ReplaceOutcome::Failed; };
    std::function<void(const std::wstring& path)> deleteFile = [](const std::wstring&) {};
    // Ends the message loop of that thread (WM_QUIT).
    std::function<void(uint32_t threadId)> quitThread = [](uint32_t) {};
    LogSink log = dropLogLine;
};

// The update procedure over the seam: disconnect (the wish to be connected cleared first), download
// with progress, check, replace and start the new version, then end the program; or report the
// failure and keep running.
void runUpdate(TunnelController& controller, const std::string& url, const std::string& sha256, const UpdateOps& ops);

// Windows (update_win.cpp).

// Moments a test may act in; none in the program.
struct UpdateTestHooks {
    std::function<void(const std::wstring& path)> downloaded;  // the file written and closed
    std::function<void(const std::wstring& path)> held;        // checked, held, not yet renamed
};

// The real calls, for the running executable (modulePath), with at most limitBytes downloaded.
UpdateOps windowsUpdateOps(const UpdateTestHooks& hooks = {}, uint64_t limitBytes = 0);
// The controller's update slot: runUpdate with windowsUpdateOps, on the update worker.
void applyUpdate(TunnelController& controller, const std::string& url, const std::string& sha256);
// At start: the executable an earlier update renamed aside goes (it may still be ending: a few tries).
void removeReplacedExecutable(const std::wstring& executable, uint32_t waitMs);
