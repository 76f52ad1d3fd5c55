#include "shell/window_win.h"

#include <string>

#include "control/connect.h"
#include "control/controller.h"
#include "foundation/handles_win.h"
#include "shell/bootstrap_win.h"
#include "shell/shell_state_win.h"
#include "shell/webview2_win.h"
#include "shell/webview_host_win.h"

namespace {

// A monitor or worker that outlived the shutdown's waits: the controller is kept, and the process
// ends with it.
bool controllerKept = false;

// The controller asked for the user's attention (a VPN program was started while connected).
void honourAttention(HWND window, TunnelController& controller) {
    bool requested = false;
    {
        std::lock_guard<std::mutex> hold(controller.lock);
        requested = controller.attentionRequested;
        controller.attentionRequested = false;
    }
    if (!requested) return;
    ShowWindow(window, SW_RESTORE);
    SetForegroundWindow(window);
    FLASHWINFO flash{};
    flash.cbSize = sizeof flash;
    flash.hwnd = window;
    flash.dwFlags = FLASHW_ALL | FLASHW_TIMERNOFG;
    flash.uCount = 6;
    flash.dwTimeout = 0;
    FlashWindowEx(&flash);
}

// The routine's result, when it has come: a forged signal finds none and changes nothing.
void onBootstrapDone(HWND window) {
    std::string message;
    if (!takeBootstrapResult(message)) return;
    ShellState& state = shellState();
    state.bootstrapping = false;
    if (message.empty()) {
        InvalidateRect(window, nullptr, TRUE);
        createWebViewEnvironment();
        return;
    }
    const int n = MultiByteToWideChar(CP_UTF8, 0, message.data(), static_cast<int>(message.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, message.data(), static_cast<int>(message.size()), wide.data(), n);
    MessageBoxW(window, wide.c_str(), kWindowTitle, MB_ICONERROR);
    PostQuitMessage(1);
}

}  // namespace

LRESULT CALLBACK mainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    ShellState& state = shellState();
    switch (message) {
    case WM_NCHITTEST:
        if (state.bootstrapping) return HTCAPTION;  // the splash can be dragged anywhere
        break;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    case WM_MOVE:
        if (state.webviewController) state.webviewController->NotifyParentWindowPositionChanged();
        return 0;
    case WM_SIZE:
        resizeWebView();
        return 0;
    case WM_PAINT:
        if (state.bootstrapping) {
            PAINTSTRUCT paint;
            HDC dc = BeginPaint(window, &paint);
            paintSplash(window, dc);
            EndPaint(window, &paint);
            return 0;
        }
        break;
    case WM_CLOSE:
        ShowWindow(window, SW_HIDE);
        if (state.controller) shutdownController(*state.controller);
        DestroyWindow(window);
        return 0;
    case WM_TIMER:
        pushSnapshot();
        return 0;
    case WM_APP_STATE:
        if (state.controller) honourAttention(window, *state.controller);
        if (state.webview && state.controller) pushSnapshot();
        return 0;
    case WM_APP_PROGRESS:  // the parameters are ignored: the texts come through the queue
        applyBootstrapProgress(window);
        return 0;
    case WM_APP_BOOTSTRAP_DONE:
        onBootstrapDone(window);
        return 0;
    default:
        break;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

HWND createMainWindow(HINSTANCE instance) {
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.style = 0;
    windowClass.lpfnWndProc = mainWindowProc;
    windowClass.hInstance = instance;
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.hbrBackground = CreateSolidBrush(kWindowBackground);
    windowClass.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(1));
    windowClass.hIconSm = static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(1), IMAGE_ICON,
                                                        GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON), 0));
    windowClass.lpszClassName = kWindowClass;
    RegisterClassExW(&windowClass);

    const int dpi = static_cast<int>(GetDpiForSystem());
    const int width = MulDiv(kWindowWidth96, dpi, 96);
    const int height = MulDiv(kWindowHeight96, dpi, 96);
    const int x = (GetSystemMetrics(SM_CXSCREEN) - width) / 2;
    const int y = (GetSystemMetrics(SM_CYSCREEN) - height) / 2;
    HWND window = CreateWindowExW(WS_EX_APPWINDOW, kWindowClass, kWindowTitle, WS_POPUP | WS_SYSMENU | WS_MINIMIZEBOX,
                                  x, y, width, height, nullptr, nullptr, instance, nullptr);
    if (!window) return nullptr;
    const int radius = MulDiv(kWindowCornerRadius96, dpi, 96);
    SetWindowRgn(window, CreateRoundRectRgn(0, 0, width + 1, height + 1, radius, radius), TRUE);
    return window;
}

bool shutdownController(TunnelController& controller) {
    const bool safe = shutdownTunnel(controller, [&controller] {
        if (!controller.monitorThread) return true;
        const bool ended =
            WaitForSingleObject(kernelHandle(controller.monitorThread), kMonitorJoinMs) == WAIT_OBJECT_0;
        if (ended) controller.monitorThread.reset();
        return ended;
    });
    if (!safe) controllerKept = true;
    return !controllerKept;
}
