// The state of the user-interface thread: the main window, the published controller, the WebView2
// objects and the splash fields. Only the user-interface thread touches it; other threads post
// window messages.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "foundation/handle.h"
#include "shell/bridge.h"

struct TunnelController;
struct ICoreWebView2Controller;
struct ICoreWebView2;

inline constexpr UINT WM_APP_STATE = WM_APP + 1;
inline constexpr UINT WM_APP_PROGRESS = WM_APP + 2;
inline constexpr UINT WM_APP_BOOTSTRAP_DONE = WM_APP + 3;

struct ShellState {
    HWND mainWindow = nullptr;
    TunnelController* controller = nullptr;  // published after it is built, cleared after shutdown
    ComOwner<ICoreWebView2Controller> webviewController;
    ComOwner<ICoreWebView2> webview;
    bool bootstrapping = false;
    std::wstring splashStatus = L"Подготовка…";
    int32_t splashProgress = 0;
    UiBridge bridge;  // the page's commands reach the controller through it
};

// The one instance, owned by the user-interface thread.
ShellState& shellState();
