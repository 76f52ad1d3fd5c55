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
using StartingHandler =
    Handler<ICoreWebView2NavigationStartingEventHandler, ICoreWebView2*, ICoreWebView2NavigationStartingEventArgs*>;
using NewWindowHandler =
    Handler<ICoreWebView2NewWindowRequestedEventHandler, ICoreWebView2*, ICoreWebView2NewWindowRequestedEventArgs*>;

// The page handed over with NavigateToString is the only document the view may show: its origin is
// about:blank, and the first navigation that starts after the call is its own. Anything else the
// view would load (a link, a script's location change, a dropped file, a frame) is cancelled, so a
// message whose source is about:blank comes from our page.
constexpr const wchar_t* kPageSource = L"about:blank";
struct PageGuard {
    bool ownNavigationPending = false;  // set just before NavigateToString
    bool ownNavigationKnown = false;
    UINT64 ownNavigationId = 0;
};
PageGuard pageGuard;

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
    settings->put_AreHostObjectsAllowed(FALSE);
    settings->put_AreDefaultScriptDialogsEnabled(FALSE);
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

// Nothing dropped from outside the view reaches the page (a dropped file or link would navigate).
void refuseExternalDrops(ICoreWebView2Controller* controller) {
    ComOwner<ICoreWebView2Controller4> controller4;
    if (FAILED(controller->QueryInterface(IID_ICoreWebView2Controller4, reinterpret_cast<void**>(&controller4.h))) ||
        !controller4) {
        logLine("webview runtime cannot refuse external drops (before 1.0.1185); its navigations are still cancelled");
        return;
    }
    controller4->put_AllowExternalDrop(FALSE);
}

// A text the runtime hands over (CoTaskMemAlloc) through get(&text), taken and freed; empty on failure.
template <typename Get>
std::wstring takeText(Get get) {
    LPWSTR text = nullptr;
    const HRESULT got = get(&text);
    std::wstring taken = SUCCEEDED(got) && text ? std::wstring(text) : std::wstring();
    CoTaskMemFree(text);
    return taken;
}

HRESULT onNavigationStarting(ICoreWebView2*, ICoreWebView2NavigationStartingEventArgs* args) {
    if (!args) return S_OK;
    UINT64 id = 0;
    const bool hasId = SUCCEEDED(args->get_NavigationId(&id));
    if (pageGuard.ownNavigationPending && hasId) {
        pageGuard.ownNavigationPending = false;
        pageGuard.ownNavigationKnown = true;
        pageGuard.ownNavigationId = id;
        return S_OK;
    }
    if (pageGuard.ownNavigationKnown && hasId && id == pageGuard.ownNavigationId) return S_OK;  // its redirects
    args->put_Cancel(TRUE);
    const std::wstring target = takeText([args](LPWSTR* uri) { return args->get_Uri(uri); });
    logLine("ui navigation cancelled: " + wideToUtf8(target.substr(0, 200)));
    return S_OK;
}

HRESULT onFrameNavigationStarting(ICoreWebView2*, ICoreWebView2NavigationStartingEventArgs* args) {
    if (args) args->put_Cancel(TRUE);  // the page has no frames
    return S_OK;
}

HRESULT onNewWindowRequested(ICoreWebView2*, ICoreWebView2NewWindowRequestedEventArgs* args) {
    if (args) args->put_Handled(TRUE);  // handled without a window: nothing opens
    return S_OK;
}

HRESULT onWebMessage(ICoreWebView2*, ICoreWebView2WebMessageReceivedEventArgs* args) {
    if (!args) return S_OK;
    if (takeText([args](LPWSTR* source) { return args->get_Source(source); }) != kPageSource) {
        logLine("ui message from another source ignored");
        return S_OK;
    }
    LPWSTR text = nullptr;
    // A message posted as an object rather than a string fails here and is dropped quietly.
    if (FAILED(args->TryGetWebMessageAsString(&text)) || !text) {
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
    ComOwner<StartingHandler> starting(new StartingHandler(IID_ICoreWebView2NavigationStartingEventHandler,
                                                           onNavigationStarting));
    if (FAILED(view->add_NavigationStarting(starting.get(), &token))) logLine("ui navigations cannot be watched");
    ComOwner<StartingHandler> frames(new StartingHandler(IID_ICoreWebView2NavigationStartingEventHandler,
                                                         onFrameNavigationStarting));
    if (FAILED(view->add_FrameNavigationStarting(frames.get(), &token))) logLine("ui frames cannot be watched");
    ComOwner<NewWindowHandler> windows(new NewWindowHandler(IID_ICoreWebView2NewWindowRequestedEventHandler,
                                                            onNewWindowRequested));
    if (FAILED(view->add_NewWindowRequested(windows.get(), &token))) logLine("ui new windows cannot be refused");
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
    refuseExternalDrops(controller);
    if (view) addEventHandlers(view);
    resizeWebView();
    if (view) {
        const std::wstring page = loadPage(pageModule ? pageModule : GetModuleHandleW(nullptr));
        pageGuard = PageGuard{};
        pageGuard.ownNavigationPending = true;
        const HRESULT navigated = view->NavigateToString(page.c_str());
        if (FAILED(navigated)) pageGuard.ownNavigationPending = false;  // no navigation of ours will start
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
