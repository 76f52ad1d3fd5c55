// The first-run installation of the WebView2 runtime behind the self-painted splash: the service
// names the installer (a signed answer), we download it, check its digest and signature, run it
// silently and confirm that the runtime is there. The worker hands its texts to the window through
// an in-process queue under a lock (bootstrap_win.cpp); the window messages carry nothing:
//
//   WM_APP_PROGRESS        wParam = lParam = 0: progress waits in the queue.
//   WM_APP_BOOTSTRAP_DONE  wParam = lParam = 0: the result waits in the queue. Empty text = success,
//                          else the UTF-8 message to show.
//
// Any process on the desktop can post these messages; one that finds nothing queued changes nothing.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "build_config.h"
#include "foundation/json.h"

inline constexpr const char* kPrereqPath = "/api/v1/prereq";
inline constexpr const wchar_t* kInstallerFileName = L"VELMORANTE-WebView2-Setup.exe";
inline constexpr const wchar_t* kInstallerParameters = L"/silent /install";
// Who must have signed the installer: the runtime's vendor. A build for the development service
// also takes the throw-away signer of its test installers.
inline constexpr const wchar_t* kRuntimeSignerName = L"Microsoft Corporation";
inline constexpr const wchar_t* kDevelopmentSignerName = L"VELMORANTE test signer (development only)";
inline constexpr uint32_t kInstallerWaitMs = 900000;  // the longest wait of the program: 15 minutes
inline constexpr int kRuntimeConfirmTries = 20;
inline constexpr uint32_t kRuntimeConfirmStepMs = 500;

// What the splash says, step by step.
inline constexpr const wchar_t* kSplashPreparing = L"Подготовка…";
inline constexpr const wchar_t* kSplashDownloading = L"Загрузка компонента Windows";
inline constexpr const wchar_t* kSplashChecking = L"Проверка файла…";
inline constexpr const wchar_t* kSplashInstalling = L"Установка, около минуты…";

// The messages that end the program (shown in an error box by the window).
inline constexpr const char* kBootstrapNoAnswer = "Нет связи с сервером. Проверьте интернет и запустите программу снова.";
inline constexpr const char* kBootstrapNoInstaller = "На сервере нет установщика компонента.";
inline constexpr const char* kBootstrapDownloadFailed =
    "Не удалось скачать компонент. Проверьте интернет и запустите программу снова.";
inline constexpr const char* kBootstrapCheckFailed = "Скачанный файл не прошёл проверку. Запустите программу снова.";
inline constexpr const char* kBootstrapStartFailed = "Не удалось запустить установку компонента.";
inline constexpr const char* kBootstrapNotInstalled =
    "Компонент не установился. Перезагрузите компьютер и запустите программу снова.";

// ---- portable (bootstrap.cpp) -----------------------------------------------------------------

// The progress callback of the routine. The same percent twice posts nothing, not even a new text.
struct ProgressReporter {
    int32_t lastPercent = -2;  // nothing posted yet
    std::function<void(const std::wstring& text, int32_t percent)> post;
};
void reportProgress(ProgressReporter& reporter, const std::wstring& text, int32_t percent);

// trunc(fraction × 100), kept within 0..100 whatever the download reports.
int32_t downloadPercent(double fraction);

// "webview2" → "url" and "sha256" of the prerequisite answer. A missing member or one of another
// type counts as empty.
struct InstallerOffer {
    std::string url;
    std::string sha256;
};
InstallerOffer installerOfferOf(const JsonValue& answer);

// The splash's status line: the percentage only for 1…99.
std::wstring splashStatusLine(const std::wstring& status, int32_t progress);

// The platform's MulDiv: a × b / c rounded half away from zero; -1 when c is 0 or the result does
// not fit in 32 bits.
int mulDivRounded(int a, int b, int c);

struct SplashRect {
    int left = 0, top = 0, right = 0, bottom = 0;
};
// Everything paintSplash draws, in client pixels for the window's DPI.
struct SplashLayout {
    int headingFont = 0, titleFont = 0, bodyFont = 0;  // font heights (negative: character height)
    SplashRect heading, title, explanation, status;
    SplashRect track;
    SplashRect fill;        // empty when progress < 0
    bool fillDeep = false;  // progress < 0: the whole track in the darker green
};
SplashLayout splashLayout(int clientWidth, int clientHeight, int dpi, int32_t progress);

// Test seams of the routine; a default-constructed value is the program's.
struct BootstrapSettings {
    std::string host = vlm::build::kServiceHost;
    std::string prereqPath = kPrereqPath;
    uint32_t installerWaitMs = kInstallerWaitMs;
    int confirmTries = kRuntimeConfirmTries;
    uint32_t confirmStepMs = kRuntimeConfirmStepMs;
    // Moments a test may act in; none in the program: the file downloaded and closed; checked and held.
    std::function<void(const std::wstring& installer)> downloaded;
    std::function<void(const std::wstring& installer)> held;
};
