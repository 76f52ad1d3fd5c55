#include "update/update.h"

#include <mutex>

#include "control/controller.h"
#include "foundation/crypto.h"

std::wstring replacementCommandLine(const std::wstring& executable) {
    const std::wstring next = executable + kUpdateSuffix;
    return L"cmd.exe /c ping -n 3 127.0.0.1 >nul & move /y \"" + next + L"\" \"" + executable +
           L"\" & start \"\" \"" + executable + L"\"";
}

void runUpdate(TunnelController& controller, const std::string& url, const std::string& sha256, const UpdateOps& ops) {
    // A running tunnel goes first, with the wish to be connected and any pending retry, so that
    // nothing reconnects during the download: the status line says "Готов." until it ends.
    controller.wantConnected.exchange(false);
    controller.retryAt.exchange(0);
    controller.disconnect("", false);

    const std::wstring target = ops.executable + kUpdateSuffix;
    const bool downloaded =
        ops.download(url, target, [&controller](double fraction) { controller.setUpdateProgress(fraction); });
    const bool verified = downloaded && digestMatches(ops.fileDigestHex(target), sha256);

    if (verified) {
        if (ops.startDetached(replacementCommandLine(ops.executable))) {
            ops.log("update verified, replacement handed over");
        } else {
            ops.log("update verified, but the replacement command did not start");
        }
        // Ending in the ordinary way releases the mutex and stops the engines, so the new
        // instance started by the command can take over.
        controller.stopFlag.store(true);
        ops.quitThread(controller.uiThreadId);
        return;
    }

    ops.deleteFile(target);
    ops.log(downloaded ? "update digest mismatch" : "update download failed: " + url);
    {
        std::lock_guard<std::mutex> hold(controller.lock);
        controller.update.progress = -1;
        controller.status = downloaded ? kUpdateDigestMismatch : kUpdateDownloadFailed;
        controller.error = true;
    }
    controller.notify();
}
