// The self-update: download the offered build next to the executable as ".new", check it against
// the announced SHA-256, and hand the replacement to a detached command interpreter that waits
// for us to end, moves the file over the executable and starts it again. A failed download or a
// mismatch leaves the installed program alone and says so in the status line.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "foundation/log.h"

struct TunnelController;

inline constexpr const char* kUpdateDownloadFailed = "Не удалось скачать обновление.";
inline constexpr const char* kUpdateDigestMismatch = "Обновление не прошло проверку контрольной суммы.";
inline constexpr const wchar_t* kUpdateSuffix = L".new";

// What the update does to the system: the real calls in update_win.cpp, fakes in tests.
// Defaults: nothing downloads, nothing is read, deleted or started.
struct UpdateOps {
    std::wstring executable;  // the file to replace
    // GET of an https URL into the file, progress as a fraction 0..1; false on any failure.
    std::function<bool(const std::string& url, const std::wstring& target, const std::function<void(double)>& progress)>
        download = [](const std::string&, const std::wstring&, const std::function<void(double)>&) { return false; };
    // Empty when unreadable.
    std::function<std::string(const std::wstring& path)> fileDigestHex = [](const std::wstring&) { return std::string(); };
    std::function<void(const std::wstring& path)> deleteFile = [](const std::wstring&) {};
    // Starts the command line detached and without a window; false when it could not be started.
    std::function<bool(const std::wstring& commandLine)> startDetached = [](const std::wstring&) { return false; };
    // Ends the message loop of that thread (WM_QUIT).
    std::function<void(uint32_t threadId)> quitThread = [](uint32_t) {};
    LogSink log = dropLogLine;
};

// cmd.exe /c ping -n 3 127.0.0.1 >nul & move /y "E.new" "E" & start "" "E"
// The pings give the ending program about two seconds to let go of its file.
std::wstring replacementCommandLine(const std::wstring& executable);

// The update procedure over the seam: disconnect, download with progress, check, then either hand
// over and end the program, or delete ".new" and report the failure.
void runUpdate(TunnelController& controller, const std::string& url, const std::string& sha256, const UpdateOps& ops);

// Windows (update_win.cpp).

// The real calls, for the running executable (modulePath).
UpdateOps windowsUpdateOps();
// The controller's update slot: runUpdate with windowsUpdateOps, on the update worker.
void applyUpdate(TunnelController& controller, const std::string& url, const std::string& sha256);
