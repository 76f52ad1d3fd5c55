#include "shell/webview_host_win.h"

#include <atomic>
#include <functional>
#include <string>
#include <utility>

#include "control/controller.h"
#include "foundation/log.h"
#include "foundation/paths.h"
#include "foundation/text.h"
#include "shell/bridge.h"
#include "shell/shell_state_win.h"
#include "shell/webview2_win.h"
#include "shell/webview_loader_win.h"

namespace {

constexpr const wchar_t* kMessageTitle = L"VELMORANTE";
constexpr const wchar_t* kEnvironmentFailed =
    L"Не удалось запустить окно программы. Перезагрузите компьютер и попробуйте снова.";
constexpr const wchar_t* kControllerFailed = L"Не удалось создать окно интерфейса (WebView2).";
// The window class brush's RGB(11, 14, 18): no white flash before the page paints.
constexpr COREWEBVIEW2_COLOR kBackground{255, 11, 14, 18};

// One completion or event handler: answers IUnknown and its own IID (the runtime asks for it),
// lives as long as someone holds a reference.
template <typename Interface, typename First, typename Second>
struct Handler final : Interface {
    std::atomic<ULONG> refs{1};
    const GUID& iid;
    std::function<HRESULT(First, Second)> run;

    Handler(const GUID& id, std::function<HRESULT(First, Second)> fn) : iid(id), run(std::move(fn)) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID asked, void** out) override {
        if (!out) return E_POINTER;
        if (IsEqualIID(asked, IID_IUnknown) || IsEqualIID(asked, iid)) {
            *out = static_cast<Interface*>(this);
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG left = --refs;
        if (left == 0) delete this;
        return left;
    }
    HRESULT STDMETHODCALLTYPE Invoke(First first, Second second) override { return run(first, second); }
};

using EnvironmentHandler =
    Handler<ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler, HRESULT, ICoreWebView2Environment*>;
using ControllerHandler =
    Handler<ICoreWebView2CreateCoreWebView2ControllerCompletedHandler, HRESULT, ICoreWebView2Controller*>;
using MessageHandler =
    Handler<ICoreWebView2WebMessageReceivedEventHandler, ICoreWebView2*, ICoreWebView2WebMessageReceivedEventArgs*>;
using NavigationHandler =
    Handler<ICoreWebView2NavigationCompletedEventHandler, ICoreWebView2*, ICoreWebView2NavigationCompletedEventArgs*>;

std::string hresultText(HRESULT hr) { return std::to_string(static_cast<long>(hr)); }

void endWithMessage(const wchar_t* text) {
    MessageBoxW(shellState().mainWindow, text, kMessageTitle, MB_ICONERROR);
    PostQuitMessage(1);
}

// The creation chain under way: the completion it waits for, and the run its handlers belong to.
// A chain that failed or ran out of time gets a new run, so that a late completion is ignored.
enum class Awaited { Nothing, Environment, Controller };
struct CreationChain {
    unsigned run = 0;
    Awaited awaited = Awaited::Nothing;
};
CreationChain chain;
constexpr UINT_PTR kCreationTimerId = 2;  // 1 is the snapshot timer

void endChain() {
    KillTimer(shellState().mainWindow, kCreationTimerId);
    chain.awaited = Awaited::Nothing;
    ++chain.run;
}

void failCreation(const wchar_t* text) {
    endChain();
    endWithMessage(text);
}

// A completion that never came counts as a failed one.
void CALLBACK onCreationOverdue(HWND, UINT, UINT_PTR, DWORD) {
    const Awaited awaited = chain.awaited;
    if (awaited == Awaited::Nothing) {
        endChain();
        return;
    }
    const bool environment = awaited == Awaited::Environment;
    logLine(std::string("webview ") + (environment ? "environment" : "controller") + " creation did not complete");
    failCreation(environment ? kEnvironmentFailed : kControllerFailed);
}

// Exactly SizeofResource bytes of UTF-8; empty when the resource is missing.
std::wstring loadPage(HMODULE module) {
    HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(kPageResourceId), MAKEINTRESOURCEW(10));  // RT_RCDATA
    if (!found) return {};
    const DWORD size = SizeofResource(module, found);
    HGLOBAL loaded = LoadResource(module, found);
    const void* bytes = loaded ? LockResource(loaded) : nullptr;
    if (!bytes || size == 0) return {};
    return utf8ToWide(std::string(static_cast<const char*>(bytes), size));
}

void lockDownSettings(ICoreWebView2* view) {
    ComOwner<ICoreWebView2Settings> settings;
    if (FAILED(view->get_Settings(&settings.h)) || !settings) return;
    settings->put_AreDevToolsEnabled(FALSE);
    settings->put_AreDefaultContextMenusEnabled(FALSE);
    settings->put_IsStatusBarEnabled(FALSE);
    settings->put_IsZoomControlEnabled(FALSE);
    ComOwner<ICoreWebView2Settings3> settings3;
    if (SUCCEEDED(settings->QueryInterface(IID_ICoreWebView2Settings3, reinterpret_cast<void**>(&settings3.h))) &&
        settings3) {
        settings3->put_AreBrowserAcceleratorKeysEnabled(FALSE);
    }
}

void setBackground(ICoreWebView2Controller* controller) {
    ComOwner<ICoreWebView2Controller2> controller2;
    if (SUCCEEDED(controller->QueryInterface(IID_ICoreWebView2Controller2, reinterpret_cast<void**>(&controller2.h))) &&
        controller2) {
        controller2->put_DefaultBackgroundColor(kBackground);
    }
}

HRESULT onWebMessage(ICoreWebView2*, ICoreWebView2WebMessageReceivedEventArgs* args) {
    LPWSTR text = nullptr;
    // A message posted as an object rather than a string fails here and is dropped quietly.
    if (!args || FAILED(args->TryGetWebMessageAsString(&text)) || !text) {
        CoTaskMemFree(text);
        return S_OK;
    }
    const std::wstring message(text);
    CoTaskMemFree(text);
    handleWebMessage(shellState().bridge, message);
    return S_OK;
}

HRESULT onNavigationCompleted(ICoreWebView2*, ICoreWebView2NavigationCompletedEventArgs* args) {
    if (!args) return S_OK;
    BOOL success = FALSE;
    COREWEBVIEW2_WEB_ERROR_STATUS status = COREWEBVIEW2_WEB_ERROR_STATUS_UNKNOWN;
    args->get_IsSuccess(&success);
    args->get_WebErrorStatus(&status);
    if (!success) logLine("ui navigation failed, status " + std::to_string(static_cast<int>(status)));
    return S_OK;
}

void addEventHandlers(ICoreWebView2* view) {
    EventRegistrationToken token{};
    ComOwner<MessageHandler> messages(new MessageHandler(IID_ICoreWebView2WebMessageReceivedEventHandler, onWebMessage));
    view->add_WebMessageReceived(messages.get(), &token);
    ComOwner<NavigationHandler> navigations(
        new NavigationHandler(IID_ICoreWebView2NavigationCompletedEventHandler, onNavigationCompleted));
    view->add_NavigationCompleted(navigations.get(), &token);
}

void onControllerCreated(HRESULT result, ICoreWebView2Controller* controller, HMODULE pageModule) {
    if (FAILED(result) || !controller) {
        logLine("webview controller creation failed: hr=" + hresultText(result));
        endWithMessage(kControllerFailed);
        return;
    }
    ShellState& state = shellState();
    controller->AddRef();
    state.webviewController = ComOwner<ICoreWebView2Controller>(controller);
    state.webview.reset();
    const HRESULT got = controller->get_CoreWebView2(&state.webview.h);
    if (FAILED(got) || !state.webview) {
        logLine("webview view unavailable: hr=" + hresultText(got));
        state.webview.release();  // a failed call hands over no reference
    }

    ICoreWebView2* view = state.webview.get();
    if (view) lockDownSettings(view);
    setBackground(controller);
    if (view) addEventHandlers(view);
    resizeWebView();
    if (view) {
        const std::wstring page = loadPage(pageModule ? pageModule : GetModuleHandleW(nullptr));
        const HRESULT navigated = view->NavigateToString(page.c_str());
        if (FAILED(navigated) || page.empty()) {
            logLine("ui load failed: hr=" + hresultText(navigated) + " chars=" + std::to_string(page.size()));
        }
    }
    ShowWindow(state.mainWindow, SW_SHOW);
    SetForegroundWindow(state.mainWindow);
    controller->put_IsVisible(TRUE);
    resizeWebView();
    controller->NotifyParentWindowPositionChanged();
}

}  // namespace

void createWebViewEnvironment(HMODULE pageModule, uint32_t boundMs) {
    // Without a data folder the runtime picks its own profile folder.
    const std::wstring folder = dataFolder();
    const std::wstring userData = folder.empty() ? std::wstring() : folder + L"\\webview";

    endChain();
    const unsigned run = chain.run;
    chain.awaited = Awaited::Environment;
    SetTimer(shellState().mainWindow, kCreationTimerId, boundMs, onCreationOverdue);

    ComOwner<EnvironmentHandler> created(new EnvironmentHandler(
        IID_ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler,
        [pageModule, run](HRESULT result, ICoreWebView2Environment* environment) {
            if (run != chain.run) return S_OK;
            if (FAILED(result) || !environment) {
                logLine("webview environment creation failed: hr=" + hresultText(result));
                failCreation(kEnvironmentFailed);
                return S_OK;
            }
            chain.awaited = Awaited::Controller;
            ComOwner<ControllerHandler> controllerCreated(new ControllerHandler(
                IID_ICoreWebView2CreateCoreWebView2ControllerCompletedHandler,
                [pageModule, run](HRESULT hr, ICoreWebView2Controller* controller) {
                    if (run != chain.run) return S_OK;
                    endChain();
                    onControllerCreated(hr, controller, pageModule);
                    return S_OK;
                }));
            const HRESULT hr = environment->CreateCoreWebView2Controller(shellState().mainWindow, controllerCreated.get());
            if (FAILED(hr) && run == chain.run) {
                logLine("webview controller could not start: hr=" + hresultText(hr));
                failCreation(kControllerFailed);
            }
            return S_OK;
        }));
    const HRESULT hr = vlm::webview2::CreateCoreWebView2EnvironmentWithOptions(
        nullptr, userData.empty() ? nullptr : userData.c_str(), nullptr, created.get());
    created.reset();
    if (FAILED(hr) && run == chain.run) {
        logLine("webview environment could not start: hr=" + hresultText(hr));
        failCreation(kEnvironmentFailed);
    }
}

void resizeWebView() {
    ShellState& state = shellState();
    if (!state.webviewController) return;
    RECT bounds{};
    GetClientRect(state.mainWindow, &bounds);
    state.webviewController->put_Bounds(bounds);
}

void pushSnapshot() {
    ShellState& state = shellState();
    if (!state.webview || !state.controller) return;
    const std::string snapshot = buildSnapshot(*state.controller, state.bridge.version, processCheckOfOneWalk());
    state.webview->PostWebMessageAsJson(utf8ToWide(snapshot).c_str());
}

void releaseWebView() {
    endChain();
    ShellState& state = shellState();
    state.webview.reset();
    state.webviewController.reset();
}
