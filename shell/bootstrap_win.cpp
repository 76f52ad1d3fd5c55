#include "shell/bootstrap_win.h"

#include <windows.h>
#include <shellapi.h>
#include <softpub.h>
#include <wintrust.h>

#include <cstddef>
#include <deque>
#include <mutex>
#include <optional>
#include <utility>

#include "foundation/crypto.h"
#include "foundation/handles_win.h"
#include "foundation/http.h"
#include "foundation/log.h"
#include "foundation/process.h"
#include "foundation/text.h"
#include "shell/shell_state_win.h"
#include "shell/webview_loader_win.h"

namespace {

// The system's temporary folder (with its backslash) + the installer's name; empty when there is none.
std::wstring installerPath() {
    wchar_t folder[MAX_PATH] = {};
    const DWORD length = GetTempPathW(MAX_PATH, folder);
    if (length == 0 || length >= MAX_PATH) return {};
    return std::wstring(folder, length) + kInstallerFileName;
}

// Any valid, trusted Authenticode signature passes; the signer is not examined.
bool hasTrustedSignature(const std::wstring& path) {
    WINTRUST_FILE_INFO file{};
    file.cbStruct = sizeof(WINTRUST_FILE_INFO);
    file.pcwszFilePath = path.c_str();
    WINTRUST_DATA data{};
    // The size up to dwUIContext (88 bytes): newer SDKs append members that older systems reject.
    data.cbStruct = static_cast<DWORD>(offsetof(WINTRUST_DATA, dwUIContext) + sizeof(DWORD));
    data.dwUIChoice = WTD_UI_NONE;
    data.fdwRevocationChecks = WTD_REVOKE_NONE;
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &file;
    data.dwStateAction = WTD_STATEACTION_VERIFY;
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    const LONG verdict = WinVerifyTrust(nullptr, &action, &data);
    data.dwStateAction = WTD_STATEACTION_CLOSE;
    WinVerifyTrust(nullptr, &action, &data);
    if (verdict != 0) logLine("runtime installer signature rejected: " + std::to_string(static_cast<unsigned long>(verdict)));
    return verdict == 0;
}

std::string failWith(const std::wstring& installer, const char* message, const std::string& cause) {
    if (!installer.empty()) DeleteFileW(installer.c_str());
    logLine("runtime bootstrap failed: " + cause);
    return message;
}

// The worker's texts on their way to the window.
struct Mailbox {
    std::mutex lock;
    std::deque<BootstrapProgress> progress;
    std::optional<std::string> result;
};
Mailbox& mailbox() {
    static Mailbox box;
    return box;
}

}  // namespace

void postBootstrapProgress(HWND window, const std::wstring& text, int32_t percent) {
    {
        std::lock_guard<std::mutex> hold(mailbox().lock);
        mailbox().progress.push_back({text, percent});
    }
    PostMessageW(window, WM_APP_PROGRESS, 0, 0);  // a lost signal: the next one brings the text
}

void postBootstrapDone(HWND window, const std::string& message) {
    {
        std::lock_guard<std::mutex> hold(mailbox().lock);
        mailbox().result = message;
    }
    if (!PostMessageW(window, WM_APP_BOOTSTRAP_DONE, 0, 0)) {
        logLine("runtime bootstrap result not delivered: " + std::to_string(GetLastError()));
    }
}

std::vector<BootstrapProgress> takeBootstrapProgress() {
    std::lock_guard<std::mutex> hold(mailbox().lock);
    std::vector<BootstrapProgress> taken(mailbox().progress.begin(), mailbox().progress.end());
    mailbox().progress.clear();
    return taken;
}

void applyBootstrapProgress(HWND window) {
    const std::vector<BootstrapProgress> steps = takeBootstrapProgress();
    if (steps.empty()) return;
    ShellState& state = shellState();
    state.splashStatus = steps.back().text;
    state.splashProgress = steps.back().percent;
    InvalidateRect(window, nullptr, FALSE);
}

bool takeBootstrapResult(std::string& message) {
    std::lock_guard<std::mutex> hold(mailbox().lock);
    if (!mailbox().result) return false;
    message = std::move(*mailbox().result);
    mailbox().result.reset();
    return true;
}

bool isWebViewRuntimeInstalled() {
    LPWSTR version = nullptr;
    const HRESULT hr = vlm::webview2::GetAvailableCoreWebView2BrowserVersionString(nullptr, &version);
    const bool installed = SUCCEEDED(hr) && version && version[0] != L'\0';
    CoTaskMemFree(version);
    return installed;
}

std::string installWebViewRuntime(const BootstrapSettings& settings, ProgressReporter& reporter) {
    reportProgress(reporter, kSplashPreparing, 0);

    JsonValue answer;
    if (!fetchSignedAnswer(settings.host, settings.prereqPath, JsonValue(JsonKind::Object), answer)) {
        return failWith({}, kBootstrapNoAnswer, "no valid prerequisite answer");
    }
    const InstallerOffer offer = installerOfferOf(answer);
    if (offer.url.empty() || offer.sha256.empty()) {
        return failWith({}, kBootstrapNoInstaller, "the answer names no installer");
    }

    const std::wstring installer = installerPath();
    if (installer.empty()) return failWith({}, kBootstrapDownloadFailed, "no temporary folder");
    const bool downloaded = httpDownload(utf8ToWide(offer.url), installer, [&reporter](double fraction) {
        reportProgress(reporter, kSplashDownloading, downloadPercent(fraction));
    });
    if (!downloaded) return failWith(installer, kBootstrapDownloadFailed, "download of " + offer.url);

    reportProgress(reporter, kSplashChecking, 100);
    if (!digestMatches(sha256FileHex(installer), offer.sha256)) {
        return failWith(installer, kBootstrapCheckFailed, "installer digest mismatch");
    }
    if (!hasTrustedSignature(installer)) return failWith(installer, kBootstrapCheckFailed, "installer signature");

    reportProgress(reporter, kSplashInstalling, -1);
    SHELLEXECUTEINFOW run{};
    run.cbSize = sizeof run;
    run.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_NO_CONSOLE;
    run.lpFile = installer.c_str();
    run.lpParameters = kInstallerParameters;
    run.nShow = SW_HIDE;
    if (!ShellExecuteExW(&run) || !run.hProcess) {
        const DWORD e = GetLastError();
        return failWith(installer, kBootstrapStartFailed, "installer not started: " + std::to_string(e));
    }
    UniqueHandle process{run.hProcess};
    // Whatever the installer did within its time, the runtime's presence decides below.
    WaitForSingleObject(process.get(), settings.installerWaitMs);
    process.reset();
    DeleteFileW(installer.c_str());

    for (int i = 0; i < settings.confirmTries && !isWebViewRuntimeInstalled(); ++i) Sleep(settings.confirmStepMs);
    if (!isWebViewRuntimeInstalled()) return failWith({}, kBootstrapNotInstalled, "runtime still missing");
    logLine("webview runtime installed");
    return {};
}

void bootstrapWebViewRuntime(HWND mainWindow, const BootstrapSettings& settings) {
    ProgressReporter reporter;
    reporter.post = [mainWindow](const std::wstring& text, int32_t percent) {
        postBootstrapProgress(mainWindow, text, percent);
    };
    postBootstrapDone(mainWindow, installWebViewRuntime(settings, reporter));
}

void startRuntimeBootstrap(HWND mainWindow) {
    if (!startDetachedThread([mainWindow] { bootstrapWebViewRuntime(mainWindow); })) {
        const DWORD e = GetLastError();
        logLine("runtime bootstrap thread not started: " + std::to_string(e));
        postBootstrapDone(mainWindow, kBootstrapStartFailed);  // else the splash would wait for ever
    }
}
