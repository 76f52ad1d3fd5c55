#include "update/update.h"

#include <windows.h>

#include "foundation/crypto.h"
#include "foundation/http.h"
#include "foundation/log.h"
#include "foundation/paths.h"
#include "foundation/text.h"

namespace {

bool startDetached(const std::wstring& commandLine) {
    std::wstring buffer = commandLine;  // CreateProcessW may write into it
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(nullptr, buffer.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr, &startup,
                        &process)) {
        const DWORD e = GetLastError();
        logLine("update replacement command not started: " + std::to_string(e));
        return false;
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
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
