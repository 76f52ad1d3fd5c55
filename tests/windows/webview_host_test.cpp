// Our WebView2 loader and the host under Wine, against the recording stand-in runtime
// (tests/fixtures/webview-runtime), which is registered in the prefix only while a case needs it.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>

#include "foundation/text.h"
#include "shell/webview_loader_win.h"
#include "tests/fixtures/webview-runtime/harness_win.h"

namespace {

using namespace webview_harness;

constexpr const wchar_t* kEnvironmentText =
    L"Не удалось запустить окно программы. Перезагрузите компьютер и попробуйте снова.";
constexpr const wchar_t* kControllerText = L"Не удалось создать окно интерфейса (WebView2).";
const HRESULT kNotFound = HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);

bool foreignRuntime = false;  // a runtime the test did not register: the cases would lie

class RuntimeRegistrations : public ::testing::Environment {
public:
    void SetUp() override {
        removeRegistrations();  // what a crashed run left behind
        LPWSTR version = nullptr;
        vlm::webview2::GetAvailableCoreWebView2BrowserVersionString(nullptr, &version);
        foreignRuntime = version != nullptr;
        CoTaskMemFree(version);
    }
    void TearDown() override { removeRegistrations(); }
};
const auto* const registrations = ::testing::AddGlobalTestEnvironment(new RuntimeRegistrations);

bool underWine() { return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr; }

// A real runtime on Windows makes the "not registered" cases impossible; under Wine one was
// registered by hand and is in the way.
#define SKIP_WITH_FOREIGN_RUNTIME()                                                                            \
    if (foreignRuntime && underWine())                                                                         \
        GTEST_FAIL() << "a web view runtime is registered in this prefix (tests/fixtures/webview-runtime/"     \
                        "unregister.sh removes the stand-in)";                                                 \
    if (foreignRuntime) GTEST_SKIP() << "a web view runtime is installed"

std::string pageFileBytes() { return readFileBytes(fs::path(utf8ToWide(VLM_PAGE_FILE))); }

std::wstring guidText(const GUID& g) {
    wchar_t buf[64]{};
    StringFromGUID2(g, buf, 64);
    return buf;
}

TEST(WebView2Interfaces, IidsAreTheReleaseSdkOnes) {
    const struct {
        const GUID& iid;
        const wchar_t* text;
    } rows[] = {
        {IID_ICoreWebView2Environment, L"{b96d755e-0319-4e92-a296-23436f46a1fc}"},
        {IID_ICoreWebView2Controller, L"{4d00c0d1-9434-4eb6-8078-8697a560334f}"},
        {IID_ICoreWebView2Controller2, L"{c979903e-d4ca-4228-92eb-47ee3fa96eab}"},
        {IID_ICoreWebView2, L"{76eceacb-0462-4d94-ac83-423a6793775e}"},
        {IID_ICoreWebView2Settings, L"{e562e4f0-d7fa-43ac-8d71-c05150499f00}"},
        {IID_ICoreWebView2Settings2, L"{ee9a0f68-f46c-4e32-ac23-ef8cac224d2a}"},
        {IID_ICoreWebView2Settings3, L"{fdb5ab74-af33-4854-84f0-0a631deb5eba}"},
        {IID_ICoreWebView2WebMessageReceivedEventArgs, L"{0f99a40c-e962-4207-9e92-e3d542eff849}"},
        {IID_ICoreWebView2NavigationCompletedEventArgs, L"{30d68b7d-20d9-4752-a9ca-ec8448fbb5c1}"},
        {IID_ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler, L"{4e8a3389-c9d8-4bd2-b6b5-124fee6cc14d}"},
        {IID_ICoreWebView2CreateCoreWebView2ControllerCompletedHandler, L"{6c4819f3-c9b7-4260-8127-c9f5bde7f68c}"},
        {IID_ICoreWebView2WebMessageReceivedEventHandler, L"{57213f19-00e6-49fa-8e07-898ea01ecbd2}"},
        {IID_ICoreWebView2NavigationCompletedEventHandler, L"{d33a35bf-1c49-4f98-93ab-006e0533fe1c}"},
    };
    for (const auto& row : rows) EXPECT_EQ(_wcsicmp(guidText(row.iid).c_str(), row.text), 0) << wideToUtf8(row.text);
}

TEST(WebViewLoader, FindsTheRuntimeAsTheUpdaterRegistersIt) {
    SKIP_WITH_FOREIGN_RUNTIME();
    const std::wstring version = kVersion;
    const std::wstring folder = runtimeFolder();
    const struct Row {
        const char* what;
        std::vector<RegistryEntry> entries;
        bool copyToDefaultFolder;
        std::wstring browserFolder;
        std::wstring expected;  // empty: none found
    } rows[] = {
        {"nothing registered", {}, false, L"", L""},
        {"per user", userRegistration(), false, L"", version},
        {"machine-wide, 32-bit view",
         {{Root::Machine, kStable, false, version}, {Root::Machine, kStable, true, folder}},
         false, L"", version},
        {"empty pv", userRegistration(L""), false, L"", L""},
        {"pv left by an uninstall", userRegistration(L"0.0.0.0"), false, L"", L""},
        {"older than 86.0.616.0", userRegistration(L"86.0.615.99"), false, L"", L""},
        {"EBWebView names a folder without the DLL",
         {{Root::User, kStable, false, version}, {Root::User, kStable, true, folder + L"\\missing"}},
         false, L"", L""},
        {"no EBWebView: the per-user default folder", {{Root::User, kStable, false, version}}, true, L"", version},
        {"beta channel", {{Root::User, kBeta, false, version}, {Root::User, kBeta, true, folder}}, false, L"",
         version + L" beta"},
        {"an empty machine-wide pv falls through to the user's",
         {{Root::Machine, kStable, false, L""}, {Root::Machine, kStable, true, folder},
          {Root::User, kStable, false, version}, {Root::User, kStable, true, folder}},
         false, L"", version},
        {"fixed-version folder: the DLL's file version", {}, false, folder, version},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        removeRegistrations();
        for (const RegistryEntry& e : row.entries) ASSERT_TRUE(writeEntry(e));
        if (row.copyToDefaultFolder) {
            const fs::path target = defaultUserVersionFolder() / L"EBWebView" / L"x64";
            std::error_code ec;
            fs::create_directories(target, ec);
            ASSERT_TRUE(fs::copy_file(runtimeDll(), target / L"EmbeddedBrowserWebView.dll", ec)) << ec.message();
        }
        LPWSTR found = reinterpret_cast<LPWSTR>(1);
        const HRESULT hr = vlm::webview2::GetAvailableCoreWebView2BrowserVersionString(
            row.browserFolder.empty() ? nullptr : row.browserFolder.c_str(), &found);
        if (row.expected.empty()) {
            EXPECT_EQ(hr, kNotFound);
            EXPECT_EQ(found, nullptr);
        } else {
            EXPECT_EQ(hr, S_OK);
            ASSERT_NE(found, nullptr);
            EXPECT_EQ(std::wstring(found), row.expected);
        }
        CoTaskMemFree(found);
    }
    removeRegistrations();
    EXPECT_EQ(vlm::webview2::GetAvailableCoreWebView2BrowserVersionString(nullptr, nullptr), E_POINTER);
}

TEST(WebViewHost, ShowsThePageLockedDownAndCarriesMessagesBothWays) {
    SKIP_WITH_FOREIGN_RUNTIME();
    Host host({.play = LR"([{"string":"{\"cmd\":\"ready\"}"},{"object":"{\"cmd\":\"dismiss\"}"},{},)"
                       LR"({"string":"{\"cmd\":\"toggle\"}"}])"});
    ASSERT_NE(host.window, nullptr);
    host.controller.alert = "cut";
    const size_t logStart = appLogSize();

    createWebViewEnvironment();
    ASSERT_TRUE(pumpUntil([&] { return host.played(); }).done);
    std::vector<JsonValue> record = host.record();

    // The set-up, in the host's order; the bounds and position calls are checked apart because
    // showing the window for the first time adds a WM_SIZE and a WM_MOVE of its own.
    std::vector<std::string> calls;
    for (const JsonValue& line : record) {
        const std::string call = line.find("call").asText();
        if (call.empty() || call == "DllCanUnloadNow" || call == "PostWebMessageAsJson") continue;
        calls.push_back(call);
    }
    std::vector<std::string> setUp;
    for (const std::string& call : calls) {
        if (call != "put_Bounds" && call != "NotifyParentWindowPositionChanged") setUp.push_back(call);
    }
    EXPECT_EQ(setUp, (std::vector<std::string>{
                         "CreateWebViewEnvironmentWithOptionsInternal", "CreateCoreWebView2Controller",
                         "put_AreDevToolsEnabled", "put_AreDefaultContextMenusEnabled", "put_IsStatusBarEnabled",
                         "put_IsZoomControlEnabled", "put_AreBrowserAcceleratorKeysEnabled",
                         "put_DefaultBackgroundColor", "add_WebMessageReceived", "add_NavigationCompleted",
                         "NavigateToString", "put_IsVisible"}));
    const auto at = [&](const char* call) { return std::find(calls.begin(), calls.end(), call) - calls.begin(); };
    const auto firstBounds = at("put_Bounds");
    EXPECT_GT(firstBounds, at("add_NavigationCompleted"));
    EXPECT_LT(firstBounds, at("NavigateToString"));
    ASSERT_GE(calls.size(), 3u);
    EXPECT_EQ(std::vector<std::string>(calls.end() - 3, calls.end()),
              (std::vector<std::string>{"put_IsVisible", "put_Bounds", "NotifyParentWindowPositionChanged"}));

    for (const JsonValue& line : record) {
        EXPECT_FALSE(line.find("unexpected").asBool()) << writeJson(line);
        EXPECT_TRUE(line.find("error").kind == JsonKind::Null) << writeJson(line);
        const std::string call = line.find("call").asText();
        if (call.rfind("put_A", 0) == 0 || call.rfind("put_Is", 0) == 0) {
            EXPECT_EQ(line.find("value").asBool(), call == "put_IsVisible") << call;
        }
    }
    const JsonValue created = named(record, "call", "CreateWebViewEnvironmentWithOptionsInternal").at(0);
    EXPECT_EQ(created.find("userDataFolder").asText(), wideToUtf8(dataFolder() + L"\\webview"));
    EXPECT_EQ(created.find("runtimeType").asNumber(-1), 0);
    EXPECT_EQ(named(record, "call", "CreateCoreWebView2Controller").at(0).find("parent").asNumber(0),
              static_cast<double>(reinterpret_cast<uintptr_t>(host.window)));
    const JsonValue color = named(record, "call", "put_DefaultBackgroundColor").at(0);
    EXPECT_EQ(writeJson(color), R"({"call":"put_DefaultBackgroundColor","a":255,"r":11,"g":14,"b":18})");

    const std::string page = named(record, "call", "NavigateToString").at(0).find("text").asText();
    const std::string pageFile = pageFileBytes();
    EXPECT_FALSE(pageFile.empty());
    EXPECT_TRUE(page == pageFile) << "page " << page.size() << " bytes, resources/ui/page.html " << pageFile.size();

    EXPECT_TRUE(IsWindowVisible(host.window));
    RECT client{};
    GetClientRect(host.window, &client);
    const auto boundsAre = [&](const RECT& r) {
        const JsonValue last = named(host.record(), "call", "put_Bounds").back();
        return last.find("left").asNumber(-1) == r.left && last.find("top").asNumber(-1) == r.top &&
               last.find("right").asNumber(-1) == r.right && last.find("bottom").asNumber(-1) == r.bottom;
    };
    EXPECT_TRUE(boundsAre(client));

    // The page's messages: strings reach the controller, the object and the empty one do not.
    std::vector<std::string> kinds;
    for (const JsonValue& e : named(record, "event", "WebMessageReceived")) {
        kinds.push_back(e.find("kind").asText());
        EXPECT_EQ(e.find("result").asNumber(-1), S_OK);
    }
    EXPECT_EQ(kinds, (std::vector<std::string>{"string", "object", "none", "string"}));
    EXPECT_TRUE(host.controller.wantConnected.load()) << "toggle";
    EXPECT_EQ(host.controller.alert, "cut") << "the object's dismiss was ignored";
    const auto snapshots = named(record, "call", "PostWebMessageAsJson");
    ASSERT_EQ(snapshots.size(), 1u) << "ready";
    JsonValue snapshot;
    ASSERT_TRUE(parseJson(snapshots[0].find("json").asText(), snapshot));
    EXPECT_EQ(snapshot.find("version").asText(), vlm::build::kVersion);
    EXPECT_EQ(snapshot.find("alert").asText(), "cut");
    EXPECT_EQ(logLinesSince(logStart), std::vector<std::string>{}) << "nothing to log, the object included";

    // Resizing and moving keep the control on the client area.
    SetWindowPos(host.window, nullptr, 0, 0, 320, 480, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    GetClientRect(host.window, &client);
    EXPECT_EQ(client.right, 320);
    EXPECT_TRUE(boundsAre(client));
    const size_t notified = named(host.record(), "call", "NotifyParentWindowPositionChanged").size();
    SetWindowPos(host.window, nullptr, 40, 50, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    EXPECT_EQ(named(host.record(), "call", "NotifyParentWindowPositionChanged").size(), notified + 1);
    EXPECT_TRUE(boundsAre(client));

    pushSnapshot();
    EXPECT_EQ(named(host.record(), "call", "PostWebMessageAsJson").size(), 2u);

    // Shutdown: nothing of the runtime stays referenced.
    releaseWebView();
    EXPECT_FALSE(shellState().webview);
    EXPECT_FALSE(shellState().webviewController);
    std::vector<std::string> released;
    for (const JsonValue& e : named(host.record(), "event", "released")) released.push_back(e.find("object").asText());
    std::sort(released.begin(), released.end());
    EXPECT_EQ(released, (std::vector<std::string>{"controller", "environment", "settings", "view"}));
    pushSnapshot();
    EXPECT_EQ(named(host.record(), "call", "PostWebMessageAsJson").size(), 2u) << "no view, no snapshot";
    EXPECT_TRUE(host.boxes.finish().empty());
}

TEST(WebViewHost, LoadTroublesAreLoggedAndTheWindowStillShows) {
    SKIP_WITH_FOREIGN_RUNTIME();
    HMODULE emptyPage = LoadLibraryExW(runtimeDll().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(emptyPage, nullptr) << "the stand-in runtime carries an empty resource 104";
    const std::string pageChars = std::to_string(utf8ToWide(pageFileBytes()).size());
    const struct Row {
        const char* what;
        HostOptions options;
        HMODULE pageModule;
        std::vector<std::string> log;
        std::vector<const char*> absent;
    } rows[] = {
        {"zero-byte page", {}, emptyPage, {"ui load failed: hr=0 chars=0"}, {}},
        {"NavigateToString fails", {.fail = L"navigate"}, nullptr,
         {"ui load failed: hr=-2147467259 chars=" + pageChars}, {}},
        {"navigation completes unsuccessfully", {.navError = L"12"}, nullptr, {"ui navigation failed, status 12"}, {}},
        {"optional interfaces absent", {.omit = L"controller2,settings3"}, nullptr, {},
         {"put_DefaultBackgroundColor", "put_AreBrowserAcceleratorKeysEnabled"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        Host host(row.options);
        const size_t logStart = appLogSize();
        createWebViewEnvironment(row.pageModule);
        const bool navigating = row.options.fail == nullptr;  // a failed NavigateToString plays nothing
        const Pumped pumped = pumpUntil([&] {
            if (navigating) return host.played();
            return !named(host.record(), "call", "NotifyParentWindowPositionChanged").empty();
        });
        ASSERT_TRUE(pumped.done);
        EXPECT_TRUE(IsWindowVisible(host.window));
        const std::vector<JsonValue> record = host.record();
        EXPECT_EQ(named(record, "call", "put_IsVisible").size(), 1u);
        EXPECT_EQ(logLinesSince(logStart), row.log);
        for (const char* call : row.absent) EXPECT_TRUE(named(record, "call", call).empty()) << call;
        EXPECT_TRUE(host.boxes.finish().empty());
    }
    FreeLibrary(emptyPage);
}

TEST(WebViewHost, CreationFailuresShowAMessageAndEndTheLoop) {
    SKIP_WITH_FOREIGN_RUNTIME();
    const struct Row {
        const char* what;
        HostOptions options;
        const wchar_t* message;
    } rows[] = {
        {"runtime not registered", {.registered = false}, kEnvironmentText},
        {"the entry point fails", {.fail = L"env-call"}, kEnvironmentText},
        {"the environment completes with a failure", {.fail = L"env"}, kEnvironmentText},
        {"the controller completes with a failure", {.fail = L"controller"}, kControllerText},
        {"the controller call fails", {.fail = L"controller-call"}, kControllerText},
        {"the environment never completes", {.fail = L"env-never"}, kEnvironmentText},
        {"the controller never completes", {.fail = L"controller-never"}, kControllerText},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        Host host(row.options);
        createWebViewEnvironment(nullptr, 1000);
        const Pumped pumped = pumpUntil(nullptr);
        EXPECT_EQ(host.boxes.finish(), std::vector<std::wstring>{row.message});
        EXPECT_TRUE(pumped.quit);
        EXPECT_EQ(pumped.code, 1u);
        EXPECT_FALSE(IsWindowVisible(host.window));
        EXPECT_FALSE(shellState().webviewController);
    }
}

}  // namespace
