#include "shell/webview_loader_win.h"

#include <windows.h>
#include <knownfolders.h>
#include <shlobj.h>

#include <cwchar>
#include <string>
#include <vector>

#include "foundation/handles_win.h"
#include "foundation/log.h"
#include "foundation/text.h"
#include "shell/webview2_win.h"

namespace vlm::webview2 {
namespace {

using UniqueKey = Unique<HKEY, &RegCloseKey>;

constexpr const wchar_t* kClientsKey = L"Software\\Microsoft\\EdgeUpdate\\Clients\\";
constexpr const wchar_t* kClientStateKey = L"Software\\Microsoft\\EdgeUpdate\\ClientState\\";

struct Channel {
    const wchar_t* guid;
    const wchar_t* suffix;  // appended to the version text
};
// The order the SDK's loader tries them in; the first is the Evergreen runtime.
constexpr Channel kChannels[] = {
    {L"{F3017226-FE2A-4295-8BDF-00C3A9A7E4C5}", L""},
    {L"{2CD8A007-E189-409D-A2C8-9AF4EF3C72AA}", L" beta"},
    {L"{0D50BFEC-CD6A-4F9A-964C-C7416E3ACB10}", L" dev"},
    {L"{65C35B14-6C1D-4122-AC46-7148CC9D6497}", L" canary"},
};

#if defined(_M_ARM64) || defined(__aarch64__)
constexpr const wchar_t* kArchFolder = L"arm64";
#elif defined(_WIN64)
constexpr const wchar_t* kArchFolder = L"x64";
#else
constexpr const wchar_t* kArchFolder = L"x86";
#endif

// Older runtimes lack the entry point and interfaces used here.
constexpr unsigned kMinimumVersion[4] = {86, 0, 616, 0};

using CreateInternal = HRESULT(STDMETHODCALLTYPE*)(bool, int, PCWSTR, IUnknown*,
                                                   ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler*);
using CanUnloadNow = HRESULT(STDMETHODCALLTYPE*)();

struct Runtime {
    std::wstring clientDll;
    std::wstring version;  // with the channel's suffix
    int runtimeType = 0;   // 0 installed, 1 fixed-version folder
};

HRESULT lastErrorResult() {
    const DWORD e = GetLastError();
    return e == 0 ? E_FAIL : HRESULT_FROM_WIN32(e);
}

// The updater writes its keys through the 32-bit view (WOW6432Node in HKLM on 64-bit Windows;
// HKCU\Software is shared by both views).
bool readRegistryText(HKEY root, const std::wstring& subkey, const wchar_t* name, std::wstring& out) {
    UniqueKey key;
    if (RegOpenKeyExW(root, subkey.c_str(), 0, KEY_READ | KEY_WOW64_32KEY, &key.h) != ERROR_SUCCESS) return false;
    // REG_SZ; a REG_EXPAND_SZ value comes back expanded as REG_SZ.
    const DWORD types = RRF_RT_REG_SZ;
    DWORD bytes = 0;
    if (RegGetValueW(key.get(), nullptr, name, types, nullptr, nullptr, &bytes) != ERROR_SUCCESS) return false;
    std::vector<wchar_t> text(bytes / sizeof(wchar_t) + 1, L'\0');
    bytes = static_cast<DWORD>(text.size() * sizeof(wchar_t));
    if (RegGetValueW(key.get(), nullptr, name, types, nullptr, text.data(), &bytes) != ERROR_SUCCESS) return false;
    out.assign(text.data(), wcsnlen(text.data(), text.size()));
    return true;
}

// "a.b.c.d" with four decimal parts, nothing else.
bool parseVersion(const std::wstring& text, unsigned (&parts)[4]) {
    size_t at = 0;
    for (int i = 0; i < 4; ++i) {
        if (i > 0) {
            if (at >= text.size() || text[at] != L'.') return false;
            ++at;
        }
        const size_t start = at;
        unsigned value = 0;
        while (at < text.size() && text[at] >= L'0' && text[at] <= L'9' && at - start < 9) {
            value = value * 10 + static_cast<unsigned>(text[at] - L'0');
            ++at;
        }
        if (at == start) return false;
        parts[i] = value;
    }
    return at == text.size();
}

// Present, not the "0.0.0.0" an uninstall leaves behind, and new enough.
bool usableVersion(const std::wstring& text) {
    unsigned parts[4];
    if (!parseVersion(text, parts)) return false;
    for (int i = 0; i < 4; ++i) {
        if (parts[i] != kMinimumVersion[i]) return parts[i] > kMinimumVersion[i];
    }
    return true;
}

bool isFile(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::wstring clientDllIn(std::wstring folder) {
    while (!folder.empty() && (folder.back() == L'\\' || folder.back() == L'/')) folder.pop_back();
    return folder + L"\\EBWebView\\" + kArchFolder + L"\\EmbeddedBrowserWebView.dll";
}

std::wstring knownFolder(REFKNOWNFOLDERID id) {
    PWSTR path = nullptr;
    std::wstring result;
    if (SUCCEEDED(SHGetKnownFolderPath(id, 0, nullptr, &path)) && path) result = path;
    CoTaskMemFree(path);
    return result;
}

// Full path, case folded, for comparing folders; empty when it cannot be made.
std::wstring comparablePath(const std::wstring& path) {
    wchar_t full[MAX_PATH * 2];
    const DWORD n = GetFullPathNameW(path.c_str(), MAX_PATH * 2, full, nullptr);
    if (n == 0 || n >= MAX_PATH * 2) return {};
    CharLowerBuffW(full, n);
    return std::wstring(full, n);
}

// Under Program Files (either view): a folder only administrators can change.
bool underProgramFiles(const std::wstring& path) {
    const std::wstring file = comparablePath(path);
    if (file.empty()) return false;
    for (REFKNOWNFOLDERID id : {FOLDERID_ProgramFilesX86, FOLDERID_ProgramFiles}) {
        std::wstring folder = comparablePath(knownFolder(id));
        if (folder.empty()) continue;
        if (folder.back() != L'\\') folder += L'\\';
        if (file.compare(0, folder.size(), folder) == 0) return true;
    }
    return false;
}

// The elevated program runs only code that administrators installed: a runtime registered for the
// machine, in a folder under Program Files. A per-user runtime lives in the user's own folders.
bool acceptable(const Runtime& runtime, bool machineOnly) {
    if (!machineOnly || underProgramFiles(runtime.clientDll)) return true;
    logLine("webview runtime outside Program Files passed over while elevated: " + wideToUtf8(runtime.clientDll));
    return false;
}

// Where the Evergreen installer puts a version when no EBWebView value names the folder.
std::wstring defaultEvergreenFolder(HKEY root, const std::wstring& version) {
    const std::wstring base =
        knownFolder(root == HKEY_LOCAL_MACHINE ? FOLDERID_ProgramFilesX86 : FOLDERID_LocalAppData);
    if (base.empty()) return {};
    return base + L"\\Microsoft\\EdgeWebView\\Application\\" + version;
}

// Machine-wide before per-user, within each channel in order; machine-wide only when machineOnly.
bool findInstalledRuntime(Runtime& out, bool machineOnly) {
    for (const Channel& channel : kChannels) {
        for (HKEY root : {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER}) {
            if (machineOnly && root != HKEY_LOCAL_MACHINE) continue;
            std::wstring version;
            if (!readRegistryText(root, std::wstring(kClientsKey) + channel.guid, L"pv", version)) continue;
            if (!usableVersion(version)) continue;
            std::wstring folder;
            readRegistryText(root, std::wstring(kClientStateKey) + channel.guid, L"EBWebView", folder);
            if (folder.empty() && channel.suffix[0] == L'\0') folder = defaultEvergreenFolder(root, version);
            if (folder.empty()) continue;
            const std::wstring dll = clientDllIn(folder);
            if (!isFile(dll)) continue;
            const Runtime found{dll, version + channel.suffix, 0};
            if (!acceptable(found, machineOnly)) continue;
            out = found;
            return true;
        }
    }
    return false;
}

std::wstring fileVersionOf(const std::wstring& path) {
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
    if (size == 0) return {};
    std::vector<BYTE> block(size);
    if (!GetFileVersionInfoW(path.c_str(), 0, size, block.data())) return {};
    VS_FIXEDFILEINFO* info = nullptr;
    UINT length = 0;
    if (!VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&info), &length) || !info ||
        length < sizeof(VS_FIXEDFILEINFO)) {
        return {};
    }
    return std::to_wstring(HIWORD(info->dwFileVersionMS)) + L"." + std::to_wstring(LOWORD(info->dwFileVersionMS)) +
           L"." + std::to_wstring(HIWORD(info->dwFileVersionLS)) + L"." +
           std::to_wstring(LOWORD(info->dwFileVersionLS));
}

bool findRuntime(PCWSTR browserFolder, Runtime& out) {
    const bool machineOnly = machineRuntimeOnly();
    if (!browserFolder || !*browserFolder) return findInstalledRuntime(out, machineOnly);
    const std::wstring dll = clientDllIn(browserFolder);
    if (!isFile(dll)) return false;
    const std::wstring version = fileVersionOf(dll);
    if (!usableVersion(version)) return false;
    const Runtime found{dll, version, 1};
    if (!acceptable(found, machineOnly)) return false;
    out = found;
    return true;
}

}  // namespace

bool processIsElevated() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return true;  // unknown: the strict rule
    UniqueHandle owned(token);
    TOKEN_ELEVATION elevation{};
    DWORD size = 0;
    if (!GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size)) return true;
    return elevation.TokenIsElevated != 0;
}

std::function<bool()> machineRuntimeOnly = processIsElevated;

HRESULT GetAvailableCoreWebView2BrowserVersionString(PCWSTR browserFolder, LPWSTR* version) {
    if (!version) return E_POINTER;
    *version = nullptr;
    Runtime runtime;
    if (!findRuntime(browserFolder, runtime)) return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
    const size_t bytes = (runtime.version.size() + 1) * sizeof(wchar_t);
    auto* copy = static_cast<LPWSTR>(CoTaskMemAlloc(bytes));
    if (!copy) return E_OUTOFMEMORY;
    memcpy(copy, runtime.version.c_str(), bytes);
    *version = copy;
    return S_OK;
}

HRESULT CreateCoreWebView2EnvironmentWithOptions(PCWSTR browserFolder, PCWSTR userDataFolder, IUnknown* options,
                                                 ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler* handler) {
    if (!handler) return E_POINTER;
    Runtime runtime;
    if (!findRuntime(browserFolder, runtime)) {
        logLine("webview runtime not found");
        return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
    }
    // The libraries it needs come from its own folder and System32, nowhere else.
    HMODULE dll = LoadLibraryExW(runtime.clientDll.c_str(), nullptr,
                                 LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (!dll) {
        const HRESULT hr = lastErrorResult();
        logLine("webview runtime could not be loaded: hr=" + std::to_string(static_cast<long>(hr)) + " " +
                wideToUtf8(runtime.clientDll));
        return hr;
    }
    auto create = reinterpret_cast<CreateInternal>(
        reinterpret_cast<void*>(GetProcAddress(dll, "CreateWebViewEnvironmentWithOptionsInternal")));
    if (!create) {
        const HRESULT hr = lastErrorResult();
        logLine("webview runtime has no environment entry point: " + wideToUtf8(runtime.clientDll));
        FreeLibrary(dll);
        return hr;
    }
    const HRESULT hr = create(true, runtime.runtimeType, userDataFolder, options, handler);
    // The DLL stays loaded while it holds objects or work for the handler; it says when it does not.
    auto canUnload = reinterpret_cast<CanUnloadNow>(reinterpret_cast<void*>(GetProcAddress(dll, "DllCanUnloadNow")));
    if (canUnload && canUnload() == S_OK) FreeLibrary(dll);
    return hr;
}

}  // namespace vlm::webview2
