// The WebView2 control that fills the main window: created once per run from the page in the
// program's resources, fed with state snapshots, released at shutdown. Everything here runs on
// the user-interface thread and works on shellState().
#pragma once

#include <windows.h>

#include <cstdint>

// The page: resource 104 (RT_RCDATA), UTF-8.
inline constexpr int kPageResourceId = 104;

// How long the runtime gets to deliver the environment and then the controller.
inline constexpr uint32_t kWebViewCreationBoundMs = 30000;

// Starts the asynchronous creation chain (environment, controller, settings, page, window shown).
// The page comes from pageModule, the program itself when null. A failure, also a call that fails
// or a completion that has not come within boundMs, shows a message box and ends the message loop
// with PostQuitMessage(1).
void createWebViewEnvironment(HMODULE pageModule = nullptr, uint32_t boundMs = kWebViewCreationBoundMs);

// Bounds of the control = the main window's client area; nothing without a controller.
void resizeWebView();

// Posts the state snapshot to the page; nothing while the view or the controller is missing.
void pushSnapshot();

// Releases the view, then the controller, and clears both; a creation under way is given up.
void releaseWebView();
