#include "foundation/paths.h"

#include <windows.h>
#include <knownfolders.h>
#include <shlobj.h>

namespace {

std::wstring lookUpDataFolder() {
    std::wstring known;
    PWSTR path = nullptr;
    if (SUCCEEDED(SHGetKnownFolderPath(FOLDERID_LocalAppData, 0, nullptr, &path)) && path) known = path;
    CoTaskMemFree(path);  // also after a failure: the call may still have allocated
    std::wstring temp;
    if (known.empty()) {
        wchar_t buf[MAX_PATH + 1];
        const DWORD n = GetTempPathW(MAX_PATH + 1, buf);
        if (n > 0 && n <= MAX_PATH) temp.assign(buf, n);
    }
    std::wstring folder = chooseDataFolder(known, temp);
    // Fails harmlessly when the folder exists; other failures show up as files that cannot be made.
    if (!folder.empty()) CreateDirectoryW(folder.c_str(), nullptr);
    return folder;
}

}  // namespace

std::wstring dataFolder() {
    static const std::wstring folder = lookUpDataFolder();  // one-time and thread-safe
    return folder;
}

std::wstring modulePath() {
    wchar_t buf[520];
    const DWORD n = GetModuleFileNameW(nullptr, buf, 520);
    return std::wstring(buf, n < 520 ? n : 519);
}

std::wstring engineFolder() {
    static const std::wstring folder = dataFolder().empty() ? std::wstring() : dataFolder() + L"\\engine";
    return folder;
}

bool isInsideFolder(const std::wstring& path, const std::wstring& folder) {
    return isInsideFolderWith(path, folder, [](const wchar_t* a, const wchar_t* b, size_t length) {
        return CompareStringOrdinal(a, static_cast<int>(length), b, static_cast<int>(length), TRUE) == CSTR_EQUAL;
    });
}
