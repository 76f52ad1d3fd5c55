#include "update/update.h"

#include <windows.h>

#include "foundation/crypto.h"
#include "foundation/http.h"
#include "foundation/log.h"
#include "foundation/paths.h"
#include "foundation/process_win.h"
#include "foundation/text.h"

namespace {

// The command interpreter by its full System32 path; the command line keeps its own first word.
// It runs in System32, which it searches first for the programs the line names ("ping"): the
// program's own folder, the usual current one, may hold anything.
bool startDetached(const std::wstring& commandLine) {
    LaunchRequest request;
    request.executable = systemProgramPath(L"cmd.exe");
    request.commandLine = commandLine;
    request.folder = request.executable.substr(0, request.executable.find_last_of(L'\\') + 1);
    const LaunchedProcess started = launchProcess(request);
    if (!started.process) {
        const DWORD e = request.executable.empty() ? ERROR_PATH_NOT_FOUND : started.error;
        logLine("update replacement command not started: " + std::to_string(e));
        return false;
    }
    return true;
}

}  // namespace

UpdateOps windowsUpdateOps() {
    UpdateOps ops;
    ops.executable = modulePath();
    ops.download = [](const std::string& url, const std::wstring& target, const std::function<void(double)>& progress) {
        return httpDownload(utf8ToWide(url), target, progress);
    };
    ops.fileDigestHex = [](const std::wstring& path) { return sha256FileHex(path); };
    ops.deleteFile = [](const std::wstring& path) { DeleteFileW(path.c_str()); };
    ops.startDetached = startDetached;
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
