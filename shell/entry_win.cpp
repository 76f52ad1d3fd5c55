// The program: one instance per logon session, the hidden rounded main window, the controller,
// the WebView2 page (or the runtime's installation behind the splash), the monitor thread, the
// message loop, and the shutdown in a fixed order.
#include <windows.h>
#include <objbase.h>
#include <sddl.h>

#include <cwchar>
#include <cwctype>
#include <memory>

#include "control/connect.h"
#include "control/controller.h"
#include "control/monitor.h"
#include "control/profile_source.h"
#include "control/system_ops.h"
#include "build_config.h"
#include "foundation/files_win.h"
#include "foundation/handles_win.h"
#include "foundation/log.h"
#include "foundation/paths.h"
#include "foundation/process_win.h"
#include "foundation/system_dlls_win.h"
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

// A development switch of the environment: a whole number from 1 to max, else 0. A build for
// users never reads them.
uint64_t developmentNumber(const wchar_t* name, uint64_t max) {
    if (!vlm::build::kDevelopmentService) return 0;
    wchar_t text[16] = {};
    const DWORD n = GetEnvironmentVariableW(name, text, 16);
    if (n == 0 || n >= 16) return 0;
    uint64_t value = 0;
    for (const wchar_t* c = text; *c; ++c) {
        if (!std::iswdigit(*c) || value > max) return 0;
        value = value * 10 + static_cast<uint64_t>(*c - L'0');
    }
    return value >= 1 && value <= max ? value : 0;
}

// A development build asks the development service as often as VLM_DEV_PROFILE_REFRESH_SECONDS
// says (1 to 3600), so that a changed document can be tried without waiting five minutes.
ProfileSourceSettings profileSettings() {
    ProfileSourceSettings settings;
    if (const uint64_t seconds = developmentNumber(L"VLM_DEV_PROFILE_REFRESH_SECONDS", 3600)) {
        settings.refreshMs = seconds * 1000;
        logLine("development build: the service is asked every " + std::to_string(seconds) + " s");
    }
    return settings;
}

using LocalMemory = Unique<HLOCAL, &LocalFree>;

// The rights the single-instance test needs: the wait and the release. Asking for more fails
// against an instance of another integrity level (an elevated one), whose mutex grants less.
constexpr DWORD kMutexRights = SYNCHRONIZE | MUTEX_MODIFY_STATE;

// Full rights for the system and the administrators, the wait and the release for this user, and
// a medium label, so that the user's unelevated instances can open what an elevated one created.
// Empty when the user cannot be read (the mutex then gets the default descriptor).
LocalMemory mutexDescriptor() {
    UniqueHandle token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token.h)) return {};
    DWORD size = 0;
    GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
    std::unique_ptr<BYTE[]> buffer(new BYTE[size ? size : 1]);
    if (!size || !GetTokenInformation(token.get(), TokenUser, buffer.get(), size, &size)) return {};
    LocalMemory sidText;
    if (!ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer.get())->User.Sid,
                                reinterpret_cast<LPWSTR*>(&sidText.h))) {
        return {};
    }
    const std::wstring sddl = L"D:(A;;GA;;;SY)(A;;GA;;;BA)(A;;0x100001;;;" +
                              std::wstring(static_cast<const wchar_t*>(sidText.get())) + L")S:(ML;;NW;;;ME)";
    LocalMemory descriptor;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &descriptor.h, nullptr)) {
        logLine("single-instance descriptor not built: " + std::to_string(GetLastError()));
        return {};
    }
    return descriptor;
}

enum class InstanceCheck { First, AlreadyRunning };

// Takes the single-instance mutex, waiting waitMs for it. A mutex this instance may not open
// belongs to a running instance too; any other failure lets this one run alone.
InstanceCheck takeSingleInstance(UniqueHandle& mutex, DWORD waitMs) {
    LocalMemory descriptor = mutexDescriptor();
    SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor.get(), FALSE};
    mutex = UniqueHandle(CreateMutexExW(descriptor ? &attributes : nullptr, kSingleInstanceMutex, 0, kMutexRights));
    if (!mutex) {
        const DWORD error = GetLastError();
        if (error == ERROR_ACCESS_DENIED) return InstanceCheck::AlreadyRunning;
        logLine("single-instance mutex not created: " + std::to_string(error));
        return InstanceCheck::First;
    }
    return WaitForSingleObject(mutex.get(), waitMs) == WAIT_TIMEOUT ? InstanceCheck::AlreadyRunning
                                                                    : InstanceCheck::First;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR commandLine, int) {
    // Before anything else can load a library: System32 only, never the program's own folder.
    if (!restrictLibrarySearch()) return 1;
    // Junctions and links planted by the user's other programs are not followed, where the system offers it.
    refuseUserRedirections();
    const bool autostart = commandLine && std::wcsstr(commandLine, L"--autostart") != nullptr;
    const bool afterUpdate = commandLine && std::wcsstr(commandLine, kAfterUpdateSwitch) != nullptr;

    // Another instance runs: bring its window forward and end. With "--autostart" the previous
    // instance is just ending (an elevated restart) and gets 5 s to let go; the version it updated
    // to gets 30 s, as long as its shutdown may take with engines to stop.
    UniqueHandle mutex;
    const DWORD mutexWaitMs = afterUpdate ? kAfterUpdateMutexWaitMs : autostart ? 5000 : 0;
    if (takeSingleInstance(mutex, mutexWaitMs) == InstanceCheck::AlreadyRunning) {
        if (HWND other = FindWindowW(kWindowClass, nullptr)) {
            ShowWindow(other, SW_RESTORE);
            SetForegroundWindow(other);
        }
        return 0;
    }

    // The executable an update renamed aside; its process may still be ending.
    removeReplacedExecutable(modulePath(), afterUpdate ? 5000 : 0);

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

    // However the loop ended, the window goes first: the shutdown below takes seconds without
    // handling a message. A development build can stretch it (VLM_DEV_SHUTDOWN_PAUSE_MS, up to 10 s)
    // to show that.
    if (IsWindow(window)) ShowWindow(window, SW_HIDE);
    if (const uint64_t pauseMs = developmentNumber(L"VLM_DEV_SHUTDOWN_PAUSE_MS", 10000)) {
        Sleep(static_cast<DWORD>(pauseMs));
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
