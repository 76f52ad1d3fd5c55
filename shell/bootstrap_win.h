// The runtime bootstrap and its splash over the real window (bootstrap_win.cpp, splash_win.cpp).
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "shell/bootstrap.h"

// The loader finds a runtime with a non-empty version.
bool isWebViewRuntimeInstalled();

// Steps 1 to 9: request, download, check, install, confirm. The message to show, empty on success.
std::string installWebViewRuntime(const BootstrapSettings& settings, ProgressReporter& reporter);

// The whole routine, queueing progress and the one result for the window, with a signal for each.
void bootstrapWebViewRuntime(HWND mainWindow, const BootstrapSettings& settings = {});

// Runs bootstrapWebViewRuntime on a new thread whose handle is closed at once. When no thread can
// be made, the start failure is queued and signalled at once.
void startRuntimeBootstrap(HWND mainWindow);

// One step of the splash as the worker queued it.
struct BootstrapProgress {
    std::wstring text;
    int32_t percent = 0;
};

// Worker side: the text joins the queue, then the window gets the bare signal.
void postBootstrapProgress(HWND window, const std::wstring& text, int32_t percent);
void postBootstrapDone(HWND window, const std::string& message);

// User-interface side: what the worker queued so far, oldest first; empty after a forged signal.
std::vector<BootstrapProgress> takeBootstrapProgress();
// On WM_APP_PROGRESS: the queued steps applied to shellState's splash fields (the last one stands)
// and the window repainted; nothing queued changes nothing.
void applyBootstrapProgress(HWND window);
// On WM_APP_BOOTSTRAP_DONE: the routine's result once it has come (taken once); false before.
bool takeBootstrapResult(std::string& message);

// WM_PAINT while the splash is shown. dc: the device context of a paint the caller began; null to
// begin and end the paint here.
void paintSplash(HWND window, HDC dc);
