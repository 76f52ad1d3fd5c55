// The main window of the program: its class and constants, the window procedure, the controller's
// shutdown. Everything here runs on the user-interface thread.
#pragma once

#include <windows.h>

struct TunnelController;

inline constexpr const wchar_t* kWindowClass = L"VelmoranteWindow";
inline constexpr const wchar_t* kWindowTitle = L"VELMORANTE";
inline constexpr const wchar_t* kSingleInstanceMutex = L"Local\\VELMORANTE-single-instance";
inline constexpr int kWindowWidth96 = 400;
inline constexpr int kWindowHeight96 = 560;
inline constexpr int kWindowCornerRadius96 = 18;
inline constexpr UINT_PTR kSnapshotTimerId = 1;
inline constexpr UINT kSnapshotTimerMs = 1000;
inline constexpr DWORD kMonitorJoinMs = 3000;
inline constexpr COLORREF kWindowBackground = RGB(11, 14, 18);

LRESULT CALLBACK mainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// Registers the class and creates the hidden, centred, rounded main window sized for the system DPI.
HWND createMainWindow(HINSTANCE instance);

// shutdownTunnel with the wait of at most 3 s for the monitor thread (its handle is closed once it
// ended). A second call finds nothing running. False while a monitor thread or a worker that did
// not end in time may still use the controller (then it must not be destroyed).
bool shutdownController(TunnelController& controller);
