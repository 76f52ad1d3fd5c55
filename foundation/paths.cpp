#include "foundation/paths.h"

std::wstring chooseDataFolder(const std::wstring& knownFolder, const std::wstring& tempFolder) {
    if (!knownFolder.empty()) return knownFolder + L"\\Velmorante";
    if (tempFolder.empty()) return {};
    std::wstring base = tempFolder;
    while (!base.empty() && (base.back() == L'\\' || base.back() == L'/')) base.pop_back();
    if (base.empty()) return {};
    return base + L"\\Velmorante";
}

bool isInsideFolderWith(const std::wstring& path, const std::wstring& folder,
                        bool (*sameIgnoringCase)(const wchar_t* a, const wchar_t* b, size_t length)) {
    if (folder.empty() || path.size() <= folder.size()) return false;
    const wchar_t next = path[folder.size()];
    if (next != L'\\' && next != L'/') return false;
    return sameIgnoringCase(path.data(), folder.data(), folder.size());
}
