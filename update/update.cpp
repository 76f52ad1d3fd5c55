#include "update/update.h"

#include <mutex>

#include "control/controller.h"
#include "foundation/crypto.h"

void runUpdate(TunnelController& controller, const std::string& url, const std::string& sha256, const UpdateOps& ops) {
    // A running tunnel goes first, with the wish to be connected and any pending retry, so that
    // nothing reconnects during the download: the status line says "Готов." until it ends.
    controller.wantConnected.exchange(false);
    controller.retryAt.exchange(0);
    controller.disconnect("", false);

    const UpdateDownload download =
        ops.download(ops.executable, url, [&controller](double fraction) { controller.setUpdateProgress(fraction); });
    ReplaceOutcome outcome = ReplaceOutcome::Failed;
    if (download.ok) {
        // The digest of the bytes as written decides early; the replacement checks them again
        // through the handle it holds.
        outcome = digestMatches(download.digestHex, sha256) ? ops.replace(ops.executable, download.path, sha256)
                                                             : ReplaceOutcome::DigestMismatch;
    }

    if (outcome == ReplaceOutcome::Started) {
        ops.log("update verified, the new version started");
        // Ending in the ordinary way releases the mutex the new instance waits for.
        controller.stopFlag.store(true);
        ops.quitThread(controller.uiThreadId);
        return;
    }

    if (!download.path.empty()) ops.deleteFile(download.path);
    const bool mismatch = outcome == ReplaceOutcome::DigestMismatch;
    ops.log(!download.ok ? "update download failed: " + url
                         : mismatch ? "update digest mismatch" : "update not applied, the installed version kept");
    {
        std::lock_guard<std::mutex> hold(controller.lock);
        controller.update.progress = -1;
        controller.status = mismatch ? kUpdateDigestMismatch : kUpdateDownloadFailed;
        controller.error = true;
    }
    controller.notify();
}
