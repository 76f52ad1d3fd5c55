// Our own WebView2 loader: finds the installed runtime through the registry and creates its
// environment through the runtime's client DLL, as the SDK's loader does. The names are the
// loader's, inside our namespace, so they never clash with a real loader linked beside them.
#pragma once

#include <windows.h>
#include <objbase.h>

#include <functional>

struct ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler;

namespace vlm::webview2 {

// The process token says elevated (also when it cannot be read).
bool processIsElevated();

// Whether only a runtime registered for the machine (HKLM) whose client DLL lies under Program
// Files may be loaded: the elevated program's rule, as processIsElevated says. Tests replace it.
extern std::function<bool()> machineRuntimeOnly;

// The runtime's version (CoTaskMemAlloc; " beta", " dev" or " canary" appended for a preview
// channel), or *version = null and HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND) when none is usable.
// browserFolder null: the installed runtime, whose `pv` under EdgeUpdate\Clients\{channel} must
// be present, not "0.0.0.0" and at least 86.0.616.0, and whose client DLL must exist; while
// machineRuntimeOnly() holds, per-user registrations are skipped and any runtime (a fixed-version
// folder too) outside Program Files is passed over.
// Otherwise: the fixed-version runtime in that folder, its version read from the client DLL.
HRESULT GetAvailableCoreWebView2BrowserVersionString(PCWSTR browserFolder, LPWSTR* version);

// Loads the runtime's client DLL and hands the request to it; the handler is called later, on
// this thread's message loop. Call on an STA thread. Fails without calling the handler when no
// runtime is found (HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)) or the DLL cannot be used.
HRESULT CreateCoreWebView2EnvironmentWithOptions(PCWSTR browserFolder, PCWSTR userDataFolder, IUnknown* options,
                                                 ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler* handler);

}  // namespace vlm::webview2
