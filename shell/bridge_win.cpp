#include <windows.h>
#include <exdisp.h>
#include <oleauto.h>
#include <shellapi.h>
#include <shldisp.h>
#include <shlguid.h>
#include <shlobj.h>
#include <shlwapi.h>

#include <cwchar>
#include <memory>
#include <utility>
#include <vector>

#include "foundation/log.h"
#include "foundation/paths.h"
#include "foundation/process_win.h"
#include "foundation/handle.h"
#include "foundation/text.h"
#include "shell/bridge.h"
#include "shell/webview_loader_win.h"

namespace {

// The structure size the elevated restart passes, as on 64-bit Windows.
static_assert(sizeof(SHELLEXECUTEINFOW) == 112, "SHELLEXECUTEINFOW has the 64-bit layout");

bool restartElevatedNow() {
    const std::wstring exe = modulePath();
    SHELLEXECUTEINFOW info{};
    info.cbSize = sizeof info;
    info.fMask = 0;
    info.hwnd = nullptr;
    info.lpVerb = L"runas";
    info.lpFile = exe.c_str();
    info.lpParameters = L"--autostart";
    info.lpDirectory = nullptr;
    info.nShow = SW_SHOWNORMAL;
    if (!ShellExecuteExW(&info)) {
        logLine("elevated restart failed: " + std::to_string(GetLastError()));
        return false;
    }
    return true;
}

// Asks the desktop's shell (Explorer, which runs unelevated as the signed-in user) to open the
// file: the way from an elevated program to an unelevated browser. False when any step fails.
bool openThroughDesktopShell(const std::wstring& file) {
    ComOwner<IShellWindows> windows;
    if (FAILED(CoCreateInstance(CLSID_ShellWindows, nullptr, CLSCTX_LOCAL_SERVER, IID_IShellWindows,
                                reinterpret_cast<void**>(&windows.h))) ||
        !windows) {
        return false;
    }
    VARIANT none;
    VariantInit(&none);
    long desktopWindow = 0;
    ComOwner<IDispatch> desktop;
    if (windows->FindWindowSW(&none, &none, SWC_DESKTOP, &desktopWindow, SWFO_NEEDDISPATCH, &desktop.h) != S_OK ||
        !desktop) {
        return false;
    }
    ComOwner<IShellBrowser> browser;
    if (FAILED(IUnknown_QueryService(desktop.get(), SID_STopLevelBrowser, IID_IShellBrowser,
                                     reinterpret_cast<void**>(&browser.h))) ||
        !browser) {
        return false;
    }
    ComOwner<IShellView> view;
    if (FAILED(browser->QueryActiveShellView(&view.h)) || !view) return false;
    ComOwner<IDispatch> background;
    if (FAILED(view->GetItemObject(SVGIO_BACKGROUND, IID_IDispatch, reinterpret_cast<void**>(&background.h))) ||
        !background) {
        return false;
    }
    ComOwner<IShellFolderViewDual> folderView;
    if (FAILED(background->QueryInterface(IID_IShellFolderViewDual, reinterpret_cast<void**>(&folderView.h))) ||
        !folderView) {
        return false;
    }
    ComOwner<IDispatch> application;
    if (FAILED(folderView->get_Application(&application.h)) || !application) return false;
    ComOwner<IShellDispatch2> shell;
    if (FAILED(application->QueryInterface(IID_IShellDispatch2, reinterpret_cast<void**>(&shell.h))) || !shell) {
        return false;
    }
    BSTR name = SysAllocString(file.c_str());
    if (!name) return false;
    VARIANT show;
    VariantInit(&show);
    show.vt = VT_I4;
    show.lVal = SW_SHOWNORMAL;
    const HRESULT opened = shell->ShellExecute(name, none, none, none, show);
    SysFreeString(name);
    return opened == S_OK;  // S_FALSE: the shell found nothing to open it with
}

// The support link in the user's browser. Elevated, the browser must not inherit administrator
// rights: Explorer opens it, or nothing does (never ShellExecuteW from here).
void openLink(const std::string& url) {
    const std::wstring link = utf8ToWide(url);
    if (!vlm::webview2::processIsElevated()) {
        ShellExecuteW(nullptr, L"open", link.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
        return;
    }
    if (!openThroughDesktopShell(link)) logLine("link not opened: the desktop's shell could not open it unelevated");
}

}  // namespace

bool runsAsAdministrator() {
    SID_IDENTIFIER_AUTHORITY ntAuthority = SECURITY_NT_AUTHORITY;
    PSID administrators = nullptr;
    if (!AllocateAndInitializeSid(&ntAuthority, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0,
                                  0, 0, 0, 0, &administrators)) {
        return false;
    }
    BOOL member = FALSE;
    const BOOL asked = CheckTokenMembership(nullptr, administrators, &member);
    FreeSid(administrators);
    return asked && member == TRUE;
}

namespace {

bool listHolds(const std::shared_ptr<const ProcessList>& list, const std::string& fileName) {
    if (!list) return false;
    for (const ProcessRecord& p : *list) {
        if (sameExeName(p.exeName, fileName)) return true;
    }
    return false;
}

}  // namespace

bool isProcessRunningNow(const std::wstring& fileName) { return listHolds(freshProcesses(), wideToUtf8(fileName)); }

// The page does not show the applications' "running" flags; a walk for them every second cost the
// idle program more than all the rest of its work together.
constexpr uint64_t kAppListMaxAgeMs = 5000;

std::function<bool(const std::string& fileName)> processCheckOfOneWalk() {
    auto list = std::make_shared<std::shared_ptr<const ProcessList>>();
    auto taken = std::make_shared<bool>(false);
    return [list, taken](const std::string& fileName) {
        if (!*taken) {
            *taken = true;
            *list = recentProcesses(kAppListMaxAgeMs);
        }
        return listHolds(*list, fileName);
    };
}

ShellOps windowsShellOps(HWND mainWindow, std::function<void()> pushSnapshot) {
    ShellOps ops;
    if (pushSnapshot) ops.window.pushSnapshot = std::move(pushSnapshot);
    ops.openLink = openLink;
    ops.window.minimize = [mainWindow] { ShowWindow(mainWindow, SW_MINIMIZE); };
    ops.window.close = [mainWindow] { PostMessageW(mainWindow, WM_CLOSE, 0, 0); };
    ops.window.drag = [mainWindow] {
        ReleaseCapture();
        SendMessageW(mainWindow, WM_NCLBUTTONDOWN, HTCAPTION, 0);
    };
    ops.window.quit = [] { PostQuitMessage(0); };
    ops.elevation = {runsAsAdministrator, restartElevatedNow};
    ops.log = logLine;
    return ops;
}

void handleWebMessage(UiBridge& bridge, const std::wstring& text) { handleWebMessage(bridge, wideToUtf8(text)); }
