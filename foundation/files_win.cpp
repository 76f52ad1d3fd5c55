#include "foundation/files_win.h"

#include <aclapi.h>
#include <sddl.h>

#include <vector>

#include "foundation/crypto.h"
#include "foundation/log.h"
#include "foundation/text.h"

namespace {

std::string failure(const char* what, const std::wstring& path, DWORD error) {
    return std::string(what) + " (" + std::to_string(error) + "): " + wideToUtf8(path);
}

bool sameIgnoringCase(const std::wstring& a, const std::wstring& b) {
    return a.size() == b.size() &&
           CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(), static_cast<int>(b.size()), TRUE) ==
               CSTR_EQUAL;
}

// The path the system resolved for the open object, in the form the program names paths:
// "\\?\C:\x" becomes "C:\x", "\\?\UNC\host\share" becomes "\\host\share".
std::wstring finalPath(HANDLE handle) {
    std::vector<wchar_t> buf(MAX_PATH + 1);
    for (int attempt = 0; attempt < 2; ++attempt) {
        const DWORD n = GetFinalPathNameByHandleW(handle, buf.data(), static_cast<DWORD>(buf.size()),
                                                  FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
        if (n == 0) return {};
        if (n < buf.size()) {
            std::wstring path(buf.data(), n);
            if (path.rfind(L"\\\\?\\UNC\\", 0) == 0) return L"\\\\" + path.substr(8);
            if (path.rfind(L"\\\\?\\", 0) == 0) return path.substr(4);
            return path;
        }
        buf.resize(n + 1);
    }
    return {};
}

// A name no one can have prepared: the path, a dot, 16 random hex digits and the ending.
std::wstring randomSibling(const std::wstring& path, const wchar_t* ending) {
    std::string random = randomNonce().substr(0, 16);
    if (random.empty()) random = std::to_string(GetTickCount64()) + "-" + std::to_string(GetCurrentProcessId());
    return path + L"." + utf8ToWide(random) + ending;
}

}  // namespace

bool renameThroughHandle(HANDLE handle, const std::wstring& target, bool replace) {
    const size_t nameBytes = target.size() * sizeof(wchar_t);
    std::vector<unsigned char> buf(sizeof(FILE_RENAME_INFO) + nameBytes);
    auto* info = reinterpret_cast<FILE_RENAME_INFO*>(buf.data());
    info->ReplaceIfExists = replace ? TRUE : FALSE;
    info->RootDirectory = nullptr;
    info->FileNameLength = static_cast<DWORD>(nameBytes);
    memcpy(info->FileName, target.c_str(), nameBytes + sizeof(wchar_t));
    return SetFileInformationByHandle(handle, FileRenameInfo, info, static_cast<DWORD>(buf.size())) != 0;
}

bool deleteThroughHandle(HANDLE handle) {
    FILE_DISPOSITION_INFO disposition{};
    disposition.DeleteFile = TRUE;
    return SetFileInformationByHandle(handle, FileDispositionInfo, &disposition, sizeof disposition) != 0;
}

namespace {

std::string checkOpenedAs(HANDLE handle, const std::wstring& path, bool linkItself) {
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(handle, &info)) return failure("cannot read what was opened", path, GetLastError());
    const bool directory = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    if (!linkItself) {
        if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) return "a link, refused: " + wideToUtf8(path);
        if (!directory && info.nNumberOfLinks != 1) return "a file with another name too, refused: " + wideToUtf8(path);
    }
    const std::wstring resolved = finalPath(handle);
    if (!sameIgnoringCase(resolved, path)) {
        return "reached through a link, refused: " + wideToUtf8(path) + " is " + wideToUtf8(resolved);
    }
    return {};
}

CheckedFile pinParent(const std::wstring& path);
CheckedFile pinFolder(const std::wstring& path);

CheckedFile openAs(const std::wstring& path, DWORD access, DWORD share, DWORD disposition, DWORD flags,
                   SECURITY_ATTRIBUTES* security, bool linkItself) {
    CheckedFile opened;
    // One that may be made here is made only in a folder checked first and held meanwhile: nothing,
    // not even an empty file, is made where a link leads.
    CheckedFile parent;
    if (disposition != OPEN_EXISTING) {
        parent = pinParent(path);
        if (!parent.handle) return parent;
    }
    opened.handle = UniqueHandle(
        CreateFileW(path.c_str(), access, share, security, disposition, flags | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!opened.handle) {
        opened.failure = failure("cannot open", path, GetLastError());
        return opened;
    }
    opened.failure = checkOpenedAs(opened.handle.get(), path, linkItself);
    if (!opened.failure.empty()) {
        opened.refused = true;
        // A file this call made through a link is removed again (the link's target is never touched:
        // the check found a link above the name, and the name's own entry is what is deleted).
        if (disposition == CREATE_NEW && (access & DELETE)) deleteThroughHandle(opened.handle.get());
        opened.handle.reset();
    }
    return opened;
}

// Opened for listing (an access that takes part in sharing, as attribute access alone does not),
// others may read and write in it but not rename or delete it; a program may still start in it.
CheckedFile pinFolder(const std::wstring& path) {
    return openChecked(path, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                       OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
}

// The folder a file is in; held without FILE_SHARE_DELETE while the file is written, so that the
// folder cannot be renamed or swapped for a link in between.
CheckedFile pinParent(const std::wstring& path) {
    const size_t cut = path.find_last_of(L"\\/");
    if (cut == std::wstring::npos || cut == 0) return {UniqueHandle(), "no folder in the path: " + wideToUtf8(path)};
    return pinFolder(path.substr(0, cut));
}

struct LocalMemory {
    void* p = nullptr;
    ~LocalMemory() {
        if (p) LocalFree(p);
    }
};

// The files of a folder moved aside, then the folder itself; what cannot go stays.
void removeMovedAside(const std::wstring& folder) {
    WIN32_FIND_DATAW found{};
    HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) deleteFile(folder + L"\\" + found.cFileName);
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    deleteFile(folder);  // fails while anything is left in it
}

// The owner that files made by this process get (the administrators, when it is elevated): read
// from a file made for that beside the folder and deleted when closed. Empty when it cannot be told.
std::vector<unsigned char> ownerOfWhatWeMake(const std::wstring& folder) {
    std::vector<unsigned char> sid;
    CheckedFile probe = openAs(randomSibling(folder, L".probe"), DELETE | READ_CONTROL, 0, CREATE_NEW,
                               FILE_ATTRIBUTE_NORMAL | FILE_FLAG_DELETE_ON_CLOSE, nullptr, false);
    if (!probe.handle) return sid;
    PSID owner = nullptr;
    LocalMemory sd;
    if (GetSecurityInfo(probe.handle.get(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr,
                        nullptr, &sd.p) == ERROR_SUCCESS &&
        owner && IsValidSid(owner)) {
        const auto* bytes = static_cast<const unsigned char*>(owner);
        sid.assign(bytes, bytes + GetLengthSid(owner));
    }
    return sid;
}

}  // namespace

std::string checkOpened(HANDLE handle, const std::wstring& path) { return checkOpenedAs(handle, path, false); }

CheckedFile openChecked(const std::wstring& path, DWORD access, DWORD share, DWORD disposition, DWORD flags,
                        SECURITY_ATTRIBUTES* security) {
    return openAs(path, access, share, disposition, flags, security, false);
}

CheckedFile pinFile(const std::wstring& path) {
    return openChecked(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL);
}

bool readThroughHandle(HANDLE handle, std::string& out, size_t limit) {
    LARGE_INTEGER size{}, start{};
    if (!GetFileSizeEx(handle, &size) || size.QuadPart < 0 || static_cast<unsigned long long>(size.QuadPart) > limit) {
        return false;
    }
    if (!SetFilePointerEx(handle, start, nullptr, FILE_BEGIN)) return false;
    out.assign(static_cast<size_t>(size.QuadPart), '\0');
    size_t got = 0;
    while (got < out.size()) {
        const DWORD step = static_cast<DWORD>(out.size() - got < (1u << 24) ? out.size() - got : (1u << 24));
        DWORD n = 0;
        if (!ReadFile(handle, out.data() + got, step, &n, nullptr)) return false;
        if (n == 0) break;
        got += n;
    }
    out.resize(got);
    return true;
}

std::string replaceFile(const std::wstring& path, std::string_view bytes) {
    CheckedFile folder = pinParent(path);
    if (!folder.handle) return folder.failure;
    const std::wstring temporary = randomSibling(path, L".tmp");
    CheckedFile file = openChecked(temporary, GENERIC_WRITE | DELETE, FILE_SHARE_READ, CREATE_NEW, FILE_ATTRIBUTE_NORMAL);
    if (!file.handle) return file.failure;
    size_t done = 0;
    while (done < bytes.size()) {
        const DWORD step = static_cast<DWORD>(bytes.size() - done < (1u << 24) ? bytes.size() - done : (1u << 24));
        DWORD written = 0;
        if (!WriteFile(file.handle.get(), bytes.data() + done, step, &written, nullptr) || written == 0) break;
        done += written;
    }
    std::string why;
    if (done != bytes.size()) {
        why = failure("cannot write", temporary, GetLastError());
    } else if (!FlushFileBuffers(file.handle.get())) {
        why = failure("cannot flush", temporary, GetLastError());
    } else if (!renameThroughHandle(file.handle.get(), path, true)) {
        why = failure("cannot replace", path, GetLastError());
    } else {
        return {};
    }
    deleteThroughHandle(file.handle.get());
    return why;
}

std::string deleteFile(const std::wstring& path) {
    UniqueHandle file(CreateFileW(path.c_str(), DELETE | FILE_READ_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!file) {
        const DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? std::string()
                                                                              : failure("cannot open", path, error);
    }
    const std::string why = checkOpenedAs(file.get(), path, true);
    if (!why.empty()) return why;
    if (!deleteThroughHandle(file.get())) return failure("cannot delete", path, GetLastError());
    return {};
}

bool madeByAdministrators(void* folder, void* ourOwner) {
    PSID owner = nullptr;
    PACL dacl = nullptr;
    LocalMemory sd;
    if (GetSecurityInfo(folder, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner,
                        nullptr, &dacl, nullptr, &sd.p) != ERROR_SUCCESS) {
        return false;
    }
    const PSID ownOwner = static_cast<PSID>(ourOwner);
    const auto trusted = [&](PSID sid) {
        return sid && (IsWellKnownSid(sid, WinBuiltinAdministratorsSid) || IsWellKnownSid(sid, WinLocalSystemSid) ||
                       (ownOwner && EqualSid(sid, ownOwner)));
    };
    if (!trusted(owner) || !dacl) return false;  // no access list at all lets everyone in
    constexpr ACCESS_MASK kWrites = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA | FILE_WRITE_ATTRIBUTES |
                                    FILE_DELETE_CHILD | DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        void* ace = nullptr;
        if (!GetAce(dacl, i, &ace)) return false;
        const auto* header = static_cast<const ACE_HEADER*>(ace);
        if (header->AceType == ACCESS_DENIED_ACE_TYPE) continue;
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE) return false;  // nothing else is ours
        const auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
        if ((allowed->Mask & kWrites) && !trusted(reinterpret_cast<PSID>(const_cast<DWORD*>(&allowed->SidStart)))) {
            return false;
        }
    }
    return true;
}

CheckedFile adminOnlyFolder(const std::wstring& path) {
    LocalMemory sd;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kAdminOnlyFolderSddl, SDDL_REVISION_1, &sd.p, nullptr)) {
        return {UniqueHandle(), failure("cannot make the access list", path, GetLastError())};
    }
    SECURITY_ATTRIBUTES security{sizeof security, sd.p, FALSE};
    // The parent held and checked first: nothing is made where a link leads.
    CheckedFile parent = pinParent(path);
    if (!parent.handle) return parent;
    std::vector<unsigned char> ours = ownerOfWhatWeMake(path);
    for (int attempt = 0; attempt < 2; ++attempt) {
        const bool made = CreateDirectoryW(path.c_str(), &security) != 0;
        CheckedFile folder =
            openChecked(path, READ_CONTROL | WRITE_OWNER | WRITE_DAC | DELETE | FILE_READ_ATTRIBUTES,
                        FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
        if (!folder.handle) return folder;
        if (made || madeByAdministrators(folder.handle.get(), ours.empty() ? nullptr : ours.data())) {
            // Set again through the handle that was checked: a folder made just now keeps it as made.
            if (!SetKernelObjectSecurity(folder.handle.get(),
                                         OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION |
                                             PROTECTED_DACL_SECURITY_INFORMATION,
                                         sd.p)) {
                return {UniqueHandle(), failure("cannot set the access list", path, GetLastError())};
            }
            // Held from here by a handle without the right to delete, which would keep programs from
            // starting in the folder; the same folder, as its file id shows.
            BY_HANDLE_FILE_INFORMATION judged{}, held{};
            if (!GetFileInformationByHandle(folder.handle.get(), &judged)) {
                return {UniqueHandle(), failure("cannot read the folder", path, GetLastError())};
            }
            folder.handle.reset();
            CheckedFile pinned = pinFolder(path);
            if (!pinned.handle) return pinned;
            if (!GetFileInformationByHandle(pinned.handle.get(), &held) ||
                held.dwVolumeSerialNumber != judged.dwVolumeSerialNumber ||
                held.nFileIndexHigh != judged.nFileIndexHigh || held.nFileIndexLow != judged.nFileIndexLow) {
                continue;  // replaced meanwhile: judged again
            }
            return pinned;
        }
        const std::wstring aside = randomSibling(path, L".old");
        if (!renameThroughHandle(folder.handle.get(), aside, false)) {
            return {UniqueHandle(), failure("a folder made by someone else cannot be moved aside", path, GetLastError())};
        }
        folder.handle.reset();
        logLine("a folder made by someone else was moved aside: " + wideToUtf8(aside));
        removeMovedAside(aside);
    }
    return {UniqueHandle(), "a folder made by someone else keeps coming back: " + wideToUtf8(path)};
}

void refuseUserRedirections() {
    // ProcessRedirectionTrustPolicy (16) with EnforceRedirectionTrust (bit 0), named by value: older
    // SDKs do not declare them, and older systems lack the function or refuse the policy.
    using SetPolicyFn = BOOL(WINAPI*)(int policy, void* buffer, SIZE_T length);
    HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    const auto set = reinterpret_cast<SetPolicyFn>(
        reinterpret_cast<void*>(kernel ? GetProcAddress(kernel, "SetProcessMitigationPolicy") : nullptr));
    if (!set) return;
    DWORD flags = 1;
    set(16, &flags, sizeof flags);
}
