// The runtime bootstrap and its splash over the real window (bootstrap_win.cpp, splash_win.cpp).
#pragma once

#include <windows.h>

#include "shell/bootstrap.h"

// The loader finds a runtime with a non-empty version.
bool isWebViewRuntimeInstalled();

// Steps 1 to 9: request, download, check, install, confirm. The message to show, empty on success.
std::string installWebViewRuntime(const BootstrapSettings& settings, ProgressReporter& reporter);

// The whole routine, posting progress and the one WM_APP_BOOTSTRAP_DONE to the window.
void bootstrapWebViewRuntime(HWND mainWindow, const BootstrapSettings& settings = {});

// Runs bootstrapWebViewRuntime on a new thread whose handle is closed at once. When no thread can
// be made, the window gets WM_APP_BOOTSTRAP_DONE with the start failure at once.
void startRuntimeBootstrap(HWND mainWindow);

// WM_PAINT while the splash is shown. dc: the device context of a paint the caller began; null to
// begin and end the paint here.
void paintSplash(HWND window, HDC dc);
