#include <windows.h>
#include <shellapi.h>

#include <cwchar>
#include <memory>
#include <utility>
#include <vector>

#include "foundation/log.h"
#include "foundation/paths.h"
#include "foundation/process_win.h"
#include "foundation/text.h"
#include "shell/bridge.h"

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

std::function<bool(const std::string& fileName)> processCheckOfOneWalk() {
    auto list = std::make_shared<std::shared_ptr<const ProcessList>>();
    auto taken = std::make_shared<bool>(false);
    return [list, taken](const std::string& fileName) {
        if (!*taken) {
            *taken = true;
            *list = recentProcesses();
        }
        return listHolds(*list, fileName);
    };
}

ShellOps windowsShellOps(HWND mainWindow, std::function<void()> pushSnapshot) {
    ShellOps ops;
    if (pushSnapshot) ops.window.pushSnapshot = std::move(pushSnapshot);
    ops.openLink = [](const std::string& url) {
        ShellExecuteW(nullptr, L"open", utf8ToWide(url).c_str(), nullptr, nullptr, SW_SHOWNORMAL);
    };
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
