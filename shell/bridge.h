// The page-to-host protocol: the page's commands and the state snapshot pushed to it.
#pragma once

#include <functional>
#include <string>

#include "build_config.h"
#include "foundation/log.h"

struct TunnelController;

// The main window's actions. Each default does nothing.
struct WindowActions {
    std::function<void()> pushSnapshot = [] {};  // build the snapshot and post it to the page
    std::function<void()> minimize = [] {};      // ShowWindow SW_MINIMIZE
    std::function<void()> close = [] {};         // PostMessageW WM_CLOSE
    std::function<void()> drag = [] {};          // ReleaseCapture, then WM_NCLBUTTONDOWN HTCAPTION
    std::function<void()> quit = [] {};          // PostQuitMessage(0)
};

// Defaults: not an administrator, and no elevated restart.
struct ElevationOps {
    std::function<bool()> isAdministrator = [] { return false; };  // member of the local Administrators group
    std::function<bool()> restartElevated = [] { return false; };  // "runas" of our own executable with "--autostart"
};

// The window and system actions behind the page's commands. bridge_win.cpp fills them with the
// real calls for the main window; tests with recorders.
struct ShellOps {
    WindowActions window;
    ElevationOps elevation;
    std::function<void(const std::string& url)> openLink = [](const std::string&) {};  // ShellExecuteW "open"
    LogSink log = dropLogLine;
};

struct UiBridge {
    TunnelController* controller = nullptr;  // null while there is none: commands then do nothing
    ShellOps ops;
    std::string supportUrl = vlm::build::kSupportUrl;
    std::string version = vlm::build::kVersion;
};

inline constexpr size_t kBadMessageLogBytes = 80;

// One command message of the page, as UTF-8 JSON text (the Windows edge converts the UTF-16 text).
void handleWebMessage(UiBridge& bridge, const std::string& utf8);

// The complete state document, under the controller's lock for the whole build (process checks
// included). isProcessRunning may be empty: then no application counts as running.
std::string buildSnapshot(TunnelController& controller, const std::string& version,
                          const std::function<bool(const std::string& fileName)>& isProcessRunning);

// "host:port" of a link: the text after its first "@" up to the next "?", "#" or "/"; empty
// without an "@".
std::string serverFromLink(const std::string& link);
// "PUBG" for the entry "TslGame", otherwise the entry itself.
std::string appDisplayName(const std::string& app);

#ifdef _WIN32
// The real actions for the main window (bridge_win.cpp).
struct HWND__;
ShellOps windowsShellOps(HWND__* mainWindow, std::function<void()> pushSnapshot);
void handleWebMessage(UiBridge& bridge, const std::wstring& text);
bool runsAsAdministrator();
bool isProcessRunningNow(const std::wstring& fileName);
// For one snapshot: the program's recent process list (at most 5 s old) is taken once, at the first
// question, and every application is looked up in it (a walk costs Wine more than everything else
// the idle program does).
std::function<bool(const std::string& fileName)> processCheckOfOneWalk();
#endif
