#include "update/update.h"

#include <windows.h>

#include "foundation/crypto.h"
#include "foundation/files_win.h"
#include "foundation/http.h"
#include "foundation/log.h"
#include "foundation/paths.h"
#include "foundation/process_win.h"
#include "foundation/text.h"

namespace {

std::wstring folderOf(const std::wstring& path) { return path.substr(0, path.find_last_of(L'\\') + 1); }

std::string errorText(DWORD error) { return std::to_string(error); }

// "E" -> "<folder>\<name of E>.<32 random hex>.new": nobody can prepare a file or link under it.
std::wstring freshDownloadPath(const std::wstring& executable) {
    const std::string random = randomNonce();
    if (random.empty()) return {};
    return executable + L"." + utf8ToWide(random) + kUpdateSuffix;
}

UpdateDownload downloadBeside(const std::wstring& executable, const std::string& url,
                              const std::function<void(double)>& progress, uint64_t limitBytes) {
    UpdateDownload result;
    const std::wstring path = freshDownloadPath(executable);
    if (path.empty()) return result;
    const DownloadedFile file = httpDownloadNewFile(utf8ToWide(url), path, progress, limitBytes);
    if (!file.failure.empty()) logLine("update file not created: " + file.failure);
    if (file.created) result.path = path;
    result.ok = file.ok;
    result.digestHex = file.digestHex;
    return result;
}

LaunchedProcess startNewVersion(const std::wstring& executable) {
    LaunchRequest request;
    request.executable = executable;
    request.commandLine = L"\"" + executable + L"\" " + kAfterUpdateSwitch;
    request.folder = folderOf(executable);
    return launchProcess(request);
}

ReplaceOutcome replaceExecutable(const std::wstring& executable, const std::wstring& path, const std::string& sha256,
                                 const UpdateTestHooks& hooks) {
    if (hooks.downloaded) hooks.downloaded(path);
    // From here on the file can be read by others, never written, renamed or deleted: the bytes
    // checked are the bytes renamed into place and started.
    CheckedFile held = openChecked(path, GENERIC_READ | DELETE, FILE_SHARE_READ, OPEN_EXISTING);
    if (!held.handle) {
        logLine("update file not reopened: " + held.failure);
        return ReplaceOutcome::Failed;
    }
    if (!digestMatches(sha256HandleHex(held.handle.get()), sha256)) return ReplaceOutcome::DigestMismatch;
    if (hooks.held) hooks.held(path);

    // A running executable can be renamed, not overwritten.
    const std::wstring aside = executable + kReplacedSuffix;
    if (!MoveFileExW(executable.c_str(), aside.c_str(), MOVEFILE_REPLACE_EXISTING)) {
        logLine("update: the executable not renamed aside: " + errorText(GetLastError()));
        return ReplaceOutcome::Failed;
    }
    auto restore = [&] {
        if (!MoveFileExW(aside.c_str(), executable.c_str(), 0)) {
            logLine("update: the executable not restored from " + wideToUtf8(aside) + ": " + errorText(GetLastError()));
        }
    };
    if (!renameThroughHandle(held.handle.get(), executable, false)) {
        logLine("update: the new version not renamed into place: " + errorText(GetLastError()));
        restore();
        return ReplaceOutcome::Failed;
    }

    LaunchedProcess started = startNewVersion(executable);
    if (!started.process) {
        logLine("update: the new version not started: " + errorText(started.error));
        if (!renameThroughHandle(held.handle.get(), path, false)) {
            logLine("update: the new version not moved back: " + errorText(GetLastError()));
        }
        restore();
        return ReplaceOutcome::Failed;
    }
    return ReplaceOutcome::Started;
}

}  // namespace

UpdateOps windowsUpdateOps(const UpdateTestHooks& hooks, uint64_t limitBytes) {
    UpdateOps ops;
    ops.executable = modulePath();
    const uint64_t limit = limitBytes ? limitBytes : kDownloadLimitBytes;
    ops.download = [limit](const std::wstring& executable, const std::string& url,
                           const std::function<void(double)>& progress) {
        return downloadBeside(executable, url, progress, limit);
    };
    ops.replace = [hooks](const std::wstring& executable, const std::wstring& path, const std::string& sha256) {
        return replaceExecutable(executable, path, sha256, hooks);
    };
    ops.deleteFile = [](const std::wstring& path) {
        const std::string failure = deleteFile(path);
        if (!failure.empty()) logLine("update file not deleted: " + failure);
    };
    ops.quitThread = [](uint32_t threadId) {
        if (!PostThreadMessageW(threadId, WM_QUIT, 0, 0)) {
            logLine("update could not end the message loop: " + std::to_string(GetLastError()));
        }
    };
    ops.log = logLine;
    return ops;
}

void applyUpdate(TunnelController& controller, const std::string& url, const std::string& sha256) {
    runUpdate(controller, url, sha256, windowsUpdateOps());
}

void removeReplacedExecutable(const std::wstring& executable, uint32_t waitMs) {
    const std::wstring aside = executable + kReplacedSuffix;
    const uint64_t deadline = GetTickCount64() + waitMs;
    std::string failure = deleteFile(aside);
    while (!failure.empty() && GetTickCount64() < deadline) {
        Sleep(200);
        failure = deleteFile(aside);
    }
    if (!failure.empty()) logLine("the replaced executable not removed: " + failure);
}
