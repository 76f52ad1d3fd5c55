// Our WebView2 loader and the host under Wine, against the recording stand-in runtime
// (tests/fixtures/webview-runtime), which is registered in the prefix only while a case needs it.
#include <windows.h>
#include <tlhelp32.h>

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
        {IID_ICoreWebView2NavigationStartingEventHandler, L"{9adbe429-f36d-432b-9ddc-f8881fbd76e3}"},
        {IID_ICoreWebView2NavigationStartingEventArgs, L"{5b495469-e119-438a-9b18-7604f25f2e49}"},
        {IID_ICoreWebView2NewWindowRequestedEventHandler, L"{d4c185fe-c81c-4989-97af-2d3fa7ab5651}"},
        {IID_ICoreWebView2NewWindowRequestedEventArgs, L"{34acb11c-fc37-4418-9132-f9c21d1eafb9}"},
        {IID_ICoreWebView2Controller4, L"{97d418d5-a426-4e49-a151-e1a10f327d9e}"},
    };
    for (const auto& row : rows) EXPECT_EQ(_wcsicmp(guidText(row.iid).c_str(), row.text), 0) << wideToUtf8(row.text);
}

TEST(WebViewLoader, FindsTheRuntimeAsTheUpdaterRegistersIt) {
    SKIP_WITH_FOREIGN_RUNTIME();
    const std::wstring version = kVersion;
    const std::wstring folder = runtimeFolder();
    // The elevated rows' machine-wide copy lies where administrators install runtimes.
    const std::wstring machineFolder = machineRuntimeFolder().wstring();
    const struct Row {
        const char* what;
        std::vector<RegistryEntry> entries;
        bool copyToDefaultFolder;
        std::wstring browserFolder;
        std::wstring expected;  // empty: none found
        bool elevated = false;  // the elevated program's rule: machine-wide, under Program Files
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
        {"elevated: per user is passed over", userRegistration(), false, L"", L"", true},
        {"elevated: machine-wide outside Program Files is passed over",
         {{Root::Machine, kStable, false, version}, {Root::Machine, kStable, true, folder}}, false, L"", L"", true},
        {"elevated: machine-wide under Program Files",
         {{Root::Machine, kStable, false, version}, {Root::Machine, kStable, true, machineFolder}}, false, L"",
         version, true},
        {"elevated: a per-user default folder is passed over", {{Root::User, kStable, false, version}}, true, L"", L"",
         true},
        {"elevated: fixed-version folder outside Program Files", {}, false, folder, L"", true},
        {"elevated: fixed-version folder under Program Files", {}, false, machineFolder, version, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        vlm::webview2::machineRuntimeOnly = [&row] { return row.elevated; };
        removeRegistrations();
        ASSERT_FALSE(machineRegistration().empty());  // the copy only; the row writes its own entries
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
    vlm::webview2::machineRuntimeOnly = vlm::webview2::processIsElevated;
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
                         "put_IsZoomControlEnabled", "put_AreHostObjectsAllowed",
                         "put_AreDefaultScriptDialogsEnabled", "put_AreBrowserAcceleratorKeysEnabled",
                         "put_DefaultBackgroundColor", "put_AllowExternalDrop", "add_NavigationStarting",
                         "add_FrameNavigationStarting", "add_NewWindowRequested", "add_WebMessageReceived",
                         "add_NavigationCompleted", "NavigateToString", "put_IsVisible"}));
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

// Nothing replaces the page: what the page (or something dropped on it) asks for after our own
// navigation is cancelled or refused, and a message from another source does nothing.
TEST(WebViewHost, TheViewKeepsOurPage) {
    SKIP_WITH_FOREIGN_RUNTIME();
    struct Row {
        const char* play;    // one item of VLM_RUNTIME_PLAY
        const char* event;   // what the runtime records for it
        const char* answer;  // the field the host set, which must be true
        const char* log;     // the host's line, empty for none
    };
    const Row rows[] = {
        {R"({"navigate":"https://example.com/"})", "NavigationStarting", "cancel",
         "ui navigation cancelled: https://example.com/"},
        {R"({"navigate":"file:///C:/dropped.html"})", "NavigationStarting", "cancel",
         "ui navigation cancelled: file:///C:/dropped.html"},
        {R"({"frame":"https://example.com/frame"})", "FrameNavigationStarting", "cancel", ""},
        {R"({"window":"https://example.com/popup"})", "NewWindowRequested", "handled", ""},
        {R"({"string":"{\"cmd\":\"toggle\"}","source":"https://example.com/"})", "WebMessageReceived", "",
         "ui message from another source ignored"},
    };
    std::string play = "[";
    for (const Row& row : rows) play += std::string(row.play) + ",";
    play += R"({"string":"{\"cmd\":\"ready\"}"}])";  // our page still talks to the host
    Host host({.play = utf8ToWide(play).c_str()});
    const size_t logStart = appLogSize();
    createWebViewEnvironment();
    ASSERT_TRUE(pumpUntil([&] { return host.played(); }).done);
    const std::vector<JsonValue> record = host.record();

    std::vector<JsonValue> seen;  // our page's navigation first, then one per row
    for (const JsonValue& line : record) {
        const std::string event = line.find("event").asText();
        if (event == "NavigationStarting" || event == "FrameNavigationStarting" || event == "NewWindowRequested" ||
            event == "WebMessageReceived") {
            seen.push_back(line);
        }
    }
    ASSERT_EQ(seen.size(), std::size(rows) + 2);
    EXPECT_EQ(seen[0].find("uri").asText(), "about:blank");
    EXPECT_FALSE(seen[0].find("cancel").asBool()) << "our own page";
    std::vector<std::string> logged;
    for (size_t i = 0; i < std::size(rows); ++i) {
        const Row& row = rows[i];
        EXPECT_EQ(seen[i + 1].find("event").asText(), row.event) << row.play;
        if (*row.answer) {
            EXPECT_TRUE(seen[i + 1].find(row.answer).asBool()) << row.play;
        }
        if (*row.log) logged.push_back(row.log);
    }
    EXPECT_FALSE(host.controller.wantConnected.load()) << "the foreign toggle did nothing";
    EXPECT_EQ(named(record, "call", "PostWebMessageAsJson").size(), 1u) << "our page's ready was answered";
    EXPECT_EQ(named(record, "call", "put_AllowExternalDrop").at(0).find("value").asBool(), false);
    std::vector<std::string> lines = logLinesSince(logStart);
    EXPECT_EQ(lines, logged);
    EXPECT_TRUE(host.boxes.finish().empty());
}

// The image name of a running process, empty when none has the id.
std::wstring processName(DWORD id) {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    std::wstring name;
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
        if (entry.th32ProcessID == id) name = entry.szExeFile;
    }
    CloseHandle(snapshot);
    return name;
}

// Elevated (Wine 8 runs every program so), the support link is opened by the desktop's shell, never
// by us: the link's handler is Explorer's child, so a browser would not inherit our rights.
TEST(WebViewHost, TheSupportLinkOpensThroughTheDesktopShell) {
    ASSERT_TRUE(vlm::webview2::processIsElevated()) << "the elevated route is the one shown here";
    TempFolder marks;
    const fs::path handler = marks.path / L"LinkHandler.exe";
    ASSERT_TRUE(fs::copy_file(fs::path(modulePath()).parent_path() / L"planted_marker.exe", handler));
    const std::wstring scheme = L"vlmtest-link";
    const std::wstring command = L"\"" + handler.wstring() + L"\" \"" + marks.path.wstring() + L"\" \"%1\"";
    const std::wstring title = L"URL:VELMORANTE test link";
    ASSERT_EQ(RegSetKeyValueW(HKEY_CLASSES_ROOT, scheme.c_str(), nullptr, REG_SZ, title.c_str(),
                              static_cast<DWORD>((title.size() + 1) * sizeof(wchar_t))),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetKeyValueW(HKEY_CLASSES_ROOT, scheme.c_str(), L"URL Protocol", REG_SZ, L"", sizeof(wchar_t)),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetKeyValueW(HKEY_CLASSES_ROOT, (scheme + L"\\shell\\open\\command").c_str(), nullptr, REG_SZ,
                              command.c_str(), static_cast<DWORD>((command.size() + 1) * sizeof(wchar_t))),
              ERROR_SUCCESS);
    const size_t logStart = appLogSize();
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);  // as the program's user-interface thread
    windowsShellOps(nullptr, {}).openLink("vlmtest-link:support");
    const fs::path mark = marks.path / L"LinkHandler.exe.ran";
    const bool opened = pumpUntil([&] { return !readFileBytes(mark).empty(); }, 15000).done;
    RegDeleteTreeW(HKEY_CLASSES_ROOT, scheme.c_str());
    CoUninitialize();
    ASSERT_TRUE(opened) << "the desktop's shell did not open the link; logged: "
                        << (logLinesSince(logStart).empty() ? std::string("nothing") : logLinesSince(logStart)[0]);
    const DWORD parent = static_cast<DWORD>(std::stoul(readFileBytes(mark)));
    EXPECT_NE(parent, GetCurrentProcessId());
    EXPECT_EQ(_wcsicmp(processName(parent).c_str(), L"explorer.exe"), 0) << wideToUtf8(processName(parent));
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
