// The program: one instance per logon session, the hidden rounded main window, the controller,
// the WebView2 page (or the runtime's installation behind the splash), the monitor thread, the
// message loop, and the shutdown in a fixed order.
#include <windows.h>
#include <objbase.h>

#include <cwchar>
#include <cwctype>
#include <memory>

#include "control/connect.h"
#include "control/controller.h"
#include "control/monitor.h"
#include "control/profile_source.h"
#include "control/system_ops.h"
#include "build_config.h"
#include "foundation/handles_win.h"
#include "foundation/log.h"
#include "foundation/process_win.h"
#include "shell/bootstrap_win.h"
#include "shell/bridge.h"
#include "shell/shell_state_win.h"
#include "shell/webview_host_win.h"
#include "shell/window_win.h"
#include "tunnel/tunnel.h"
#include "update/update.h"

namespace {

// The controller's seam, built once for the program's lifetime: the tunnel's real calls, the
// control groups over them, and the update procedure.
SystemOps programSystemOps() {
    SystemOps ops = windowsSystemOps(windowsTunnelOps());
    ops.procedures.applyUpdate = applyUpdate;
    return ops;
}

// A development build asks the development service as often as VLM_DEV_PROFILE_REFRESH_SECONDS
// says (1 to 3600), so that a changed document can be tried without waiting five minutes. A build
// for users never reads it.
ProfileSourceSettings profileSettings() {
    ProfileSourceSettings settings;
    if (!vlm::build::kDevelopmentService) return settings;
    wchar_t text[16] = {};
    const DWORD n = GetEnvironmentVariableW(L"VLM_DEV_PROFILE_REFRESH_SECONDS", text, 16);
    if (n == 0 || n >= 16) return settings;
    uint64_t seconds = 0;
    for (const wchar_t* c = text; *c; ++c) {
        if (!std::iswdigit(*c) || seconds > 3600) return settings;
        seconds = seconds * 10 + static_cast<uint64_t>(*c - L'0');
    }
    if (seconds >= 1 && seconds <= 3600) {
        settings.refreshMs = seconds * 1000;
        logLine("development build: the service is asked every " + std::to_string(seconds) + " s");
    }
    return settings;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR commandLine, int) {
    const bool autostart = commandLine && std::wcsstr(commandLine, L"--autostart") != nullptr;

    // Another instance runs: bring its window forward and end. With "--autostart" the previous
    // instance is just ending (an elevated restart) and gets 5 s to let go.
    UniqueHandle mutex(CreateMutexW(nullptr, FALSE, kSingleInstanceMutex));
    if (mutex && WaitForSingleObject(mutex.get(), autostart ? 5000 : 0) == WAIT_TIMEOUT) {
        if (HWND other = FindWindowW(kWindowClass, nullptr)) {
            ShowWindow(other, SW_RESTORE);
            SetForegroundWindow(other);
        }
        return 0;
    }

    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    ShellState& state = shellState();
    state.mainWindow = createMainWindow(instance);
    HWND window = state.mainWindow;
    if (!window) {
        // Nothing can be shown or driven without it; ending beats a program that sits invisible.
        logLine("main window not created: " + std::to_string(GetLastError()));
        if (mutex) ReleaseMutex(mutex.get());
        CoUninitialize();
        return 0;
    }

    auto* controller = new TunnelController([window] { PostMessageW(window, WM_APP_STATE, 0, 0); },
                                            GetCurrentThreadId(), programSystemOps());
    state.controller = controller;
    state.bridge.controller = controller;
    state.bridge.ops = windowsShellOps(window, pushSnapshot);

    // The service's documents reach the controller through the monitor loop.
    ProfileWorker profileWorker;
    startProfileWorker(profileWorker, profileSettings());

    if (isWebViewRuntimeInstalled()) {
        createWebViewEnvironment();  // the window is shown once the page is handed to the view
    } else {
        state.bootstrapping = true;
        state.splashStatus = L"Подготовка…";
        state.splashProgress = 0;
        ShowWindow(window, SW_SHOW);
        SetForegroundWindow(window);
        startRuntimeBootstrap(window);
    }

    ProfileSource source = profileWorker.state ? profileSourceOf(profileWorker.state) : ProfileSource{};
    UniqueHandle monitor = startThread([controller, source = std::move(source)]() mutable {
        monitorLoop(*controller, source);
    });
    if (monitor) {
        controller->monitorThread = platformHandle(std::move(monitor));
    } else {
        logLine("monitor thread not started: " + std::to_string(GetLastError()));
    }
    if (autostart) controller->startWorker([controller] { autostartTask(*controller); });
    SetTimer(window, kSnapshotTimerId, kSnapshotTimerMs, nullptr);

    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }

    releaseWebView();
    const bool monitorEnded = shutdownController(*controller);
    stopProfileWorker(profileWorker, kProfileWorkerStopWaitMs);
    state.controller = nullptr;
    state.bridge.controller = nullptr;
    if (mutex) ReleaseMutex(mutex.get());
    mutex.reset();
    CoUninitialize();
    if (monitorEnded) delete controller;  // else the process ends with it
    return 0;
}
