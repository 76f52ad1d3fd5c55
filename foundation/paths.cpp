#include "foundation/paths.h"

bool isInsideFolderWith(const std::wstring& path, const std::wstring& folder,
                        bool (*sameIgnoringCase)(const wchar_t* a, const wchar_t* b, size_t length)) {
    if (folder.empty() || path.size() <= folder.size()) return false;
    const wchar_t next = path[folder.size()];
    if (next != L'\\' && next != L'/') return false;
    return sameIgnoringCase(path.data(), folder.data(), folder.size());
}
