#include "shell/bootstrap_win.h"

#include <windows.h>
#include <softpub.h>
#include <wintrust.h>

#include <cstddef>
#include <deque>
#include <mutex>
#include <optional>
#include <utility>

#include "foundation/crypto.h"
#include "foundation/files_win.h"
#include "foundation/handles_win.h"
#include "foundation/http.h"
#include "foundation/log.h"
#include "foundation/process.h"
#include "foundation/process_win.h"
#include "foundation/text.h"
#include "shell/shell_state_win.h"
#include "shell/webview_loader_win.h"

namespace {

// A fresh folder under the Windows folder's Temp, named at random, that only administrators may
// write: an installer loads libraries from its own folder first. Empty when there is none.
std::wstring installerFolderPath() {
    wchar_t windows[MAX_PATH] = {};
    const UINT length = GetSystemWindowsDirectoryW(windows, MAX_PATH);
    const std::string random = randomNonce();
    if (length == 0 || length >= MAX_PATH || random.empty()) return {};
    return std::wstring(windows, length) + L"\\Temp\\VELMORANTE-setup-" + utf8ToWide(random);
}

bool acceptedSigner(const std::wstring& signer) {
    return signer == kRuntimeSignerName || (vlm::build::kDevelopmentService && signer == kDevelopmentSignerName);
}

// The installer's Authenticode signature, read through the open file: valid, trusted, and made by
// the runtime's vendor (a build for the development service also takes its throw-away test
// signer). Empty when accepted, else why not.
std::string signatureProblem(HANDLE file, const std::wstring& path) {
    WINTRUST_FILE_INFO info{};
    info.cbStruct = sizeof(WINTRUST_FILE_INFO);
    info.pcwszFilePath = path.c_str();
    info.hFile = file;
    WINTRUST_DATA data{};
    // The size up to dwUIContext (88 bytes): newer SDKs append members that older systems reject.
    data.cbStruct = static_cast<DWORD>(offsetof(WINTRUST_DATA, dwUIContext) + sizeof(DWORD));
    data.dwUIChoice = WTD_UI_NONE;
    data.fdwRevocationChecks = WTD_REVOKE_NONE;
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &info;
    data.dwStateAction = WTD_STATEACTION_VERIFY;
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    const LONG verdict = WinVerifyTrust(nullptr, &action, &data);
    std::wstring signer;
    if (verdict == 0) {
        CRYPT_PROVIDER_DATA* provider = WTHelperProvDataFromStateData(data.hWVTStateData);
        CRYPT_PROVIDER_SGNR* first = provider ? WTHelperGetProvSignerFromChain(provider, 0, FALSE, 0) : nullptr;
        if (first && first->csCertChain > 0 && first->pasCertChain && first->pasCertChain[0].pCert) {
            wchar_t name[256] = {};
            CertGetNameStringW(first->pasCertChain[0].pCert, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, name, 256);
            signer = name;
        }
    }
    data.dwStateAction = WTD_STATEACTION_CLOSE;
    WinVerifyTrust(nullptr, &action, &data);
    if (verdict != 0) return "signature rejected: " + std::to_string(static_cast<unsigned long>(verdict));
    if (!acceptedSigner(signer)) return "signed by another: " + wideToUtf8(signer);
    return {};
}

// The installer's folder, held while it exists, and the installer in it; both go through handles.
struct InstallerPlace {
    std::wstring folder;
    std::wstring file;
    CheckedFile folderHeld;
    CheckedFile fileHeld;  // read and delete, others read only: from the check to the end
    ~InstallerPlace() {
        if (fileHeld.handle && !deleteThroughHandle(fileHeld.handle.get())) {
            logLine("runtime installer not deleted: " + std::to_string(GetLastError()));
        }
        fileHeld.handle.reset();
        if (!file.empty() && !fileHeld.handle) {
            const std::string why = deleteFile(file);  // the file of a failed download
            if (!why.empty()) logLine("runtime installer not deleted: " + why);
        }
        folderHeld.handle.reset();
        if (!folder.empty()) {
            const std::string why = deleteFile(folder);
            if (!why.empty()) logLine("runtime installer folder not deleted: " + why);
        }
    }
};

std::string failWith(const char* message, const std::string& cause) {
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
        return failWith(kBootstrapNoAnswer, "no valid prerequisite answer");
    }
    const InstallerOffer offer = installerOfferOf(answer);
    if (offer.url.empty() || offer.sha256.empty()) {
        return failWith(kBootstrapNoInstaller, "the answer names no installer");
    }

    InstallerPlace place;
    place.folder = installerFolderPath();
    if (place.folder.empty()) return failWith(kBootstrapDownloadFailed, "no folder for the installer");
    place.folderHeld = adminOnlyFolder(place.folder);
    if (!place.folderHeld.handle) {
        const std::string why = place.folderHeld.failure;
        place.folder.clear();  // nothing of ours to delete
        return failWith(kBootstrapDownloadFailed, "installer folder: " + why);
    }
    place.file = place.folder + L"\\" + kInstallerFileName;
    const DownloadedFile downloaded = httpDownloadNewFile(utf8ToWide(offer.url), place.file, [&reporter](double fraction) {
        reportProgress(reporter, kSplashDownloading, downloadPercent(fraction));
    });
    if (!downloaded.created) place.file.clear();
    if (!downloaded.ok) return failWith(kBootstrapDownloadFailed, "download of " + offer.url + " " + downloaded.failure);

    reportProgress(reporter, kSplashChecking, 100);
    if (!digestMatches(downloaded.digestHex, offer.sha256)) {
        return failWith(kBootstrapCheckFailed, "installer digest mismatch");
    }
    if (settings.downloaded) settings.downloaded(place.file);
    // One handle from here to the deletion: what is checked is what starts, and nobody writes it.
    place.fileHeld = openChecked(place.file, GENERIC_READ | DELETE, FILE_SHARE_READ, OPEN_EXISTING);
    if (!place.fileHeld.handle) return failWith(kBootstrapCheckFailed, "installer reopened: " + place.fileHeld.failure);
    if (!digestMatches(sha256HandleHex(place.fileHeld.handle.get()), offer.sha256)) {
        return failWith(kBootstrapCheckFailed, "installer changed after its download");
    }
    const std::string problem = signatureProblem(place.fileHeld.handle.get(), place.file);
    if (!problem.empty()) return failWith(kBootstrapCheckFailed, "installer " + problem);
    if (settings.held) settings.held(place.file);

    reportProgress(reporter, kSplashInstalling, -1);
    LaunchRequest request;
    request.executable = place.file;
    request.commandLine = L"\"" + place.file + L"\" " + kInstallerParameters;
    request.folder = place.folder;
    request.flags = 0;
    request.show = SW_HIDE;
    LaunchedProcess process = launchProcess(request);
    if (!process.process) {
        return failWith(kBootstrapStartFailed, "installer not started: " + std::to_string(process.error));
    }
    // Whatever the installer did within its time, the runtime's presence decides below.
    WaitForSingleObject(process.process.get(), settings.installerWaitMs);
    process.process.reset();

    for (int i = 0; i < settings.confirmTries && !isWebViewRuntimeInstalled(); ++i) Sleep(settings.confirmStepMs);
    if (!isWebViewRuntimeInstalled()) return failWith(kBootstrapNotInstalled, "runtime still missing");
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
