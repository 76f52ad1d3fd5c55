// Unpacking and checking the engine files under Wine. This executable carries stand-in payloads as
// its resources 101-103 (the packed engine_files_helper.exe, velmorante-tool.exe and a text file)
// with their digest records 201-203 (CRC-32) and 301-303 (SHA-256), resource 199, which is not a
// container at all, and 150, a sound container whose digest record 250 does not match.
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "foundation/files_win.h"
#include "foundation/handle.h"
#include "foundation/paths.h"
#include "foundation/text.h"
#include "tests/fixtures/wine_linux_win.h"
#include "tunnel/engine_files.h"

namespace {

std::wstring ownFolder() {
    wchar_t buf[520];
    const DWORD n = GetModuleFileNameW(nullptr, buf, 520);
    std::wstring path(buf, n);
    return path.substr(0, path.find_last_of(L"\\/"));
}

std::string readBytes(const std::wstring& path) {
    std::ifstream in(path.c_str(), std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void writeBytes(const std::wstring& path, const std::string& bytes) {
    std::ofstream out(path.c_str(), std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

bool exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

std::wstring inFolder(const char* name) {
    std::wstring w;
    for (const char* p = name; *p; ++p) w.push_back(static_cast<wchar_t>(*p));
    return engineFolder() + L"\\" + w;
}

// The originals of the three payloads, in table order.
std::vector<std::string> originals() {
    const std::wstring dir = ownFolder();
    return {readBytes(dir + L"\\engine_files_helper.exe"), readBytes(dir + L"\\velmorante-tool.exe"),
            readBytes(dir + L"\\payloads\\standin-wintun.dll")};
}

const std::string kJunk = "not an engine";

// The engine folder and everything in it gone (and any folder moved aside beside it).
void removeTree(const std::wstring& folder) {
    WIN32_FIND_DATAW found{};
    HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = found.cFileName;
            if (name == L"." || name == L"..") continue;
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                removeTree(folder + L"\\" + name);
            } else {
                DeleteFileW((folder + L"\\" + name).c_str());
            }
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    RemoveDirectoryW(folder.c_str());
}

// A Unix symbolic link made by /bin/ln (Wine 8 makes none itself), waited for.
bool makeLink(const std::wstring& target, const std::wstring& link) {
    std::string why;
    const std::string command = "ln -s " + shellQuote(unixPathOf(target)) + " " + shellQuote(unixPathOf(link));
    if (!startLinuxProgram(L"/bin/sh -c \"" + utf8ToWide(command) + L"\"", why)) {
        return false;
    }
    return pollFor(5000, 20, [&] { return GetFileAttributesW(link.c_str()) != INVALID_FILE_ATTRIBUTES; });
}

// Wine deletes no link to a folder itself: /bin/rm does, waited for.
void removeLink(const std::wstring& link) {
    std::string why;
    if (!startLinuxProgram(L"/bin/sh -c \"rm -f " + utf8ToWide(shellQuote(unixPathOf(link))) + L"\"", why)) return;
    pollFor(5000, 20, [&] { return GetFileAttributesW(link.c_str()) == INVALID_FILE_ATTRIBUTES; });
}

// The owner and access list, as text, read back through a handle.
std::wstring securityText(const std::wstring& path) {
    HANDLE h = CreateFileW(path.c_str(), READ_CONTROL, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return L"(cannot open)";
    PSECURITY_DESCRIPTOR sd = nullptr;
    const DWORD got = GetSecurityInfo(h, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                      nullptr, nullptr, nullptr, nullptr, &sd);
    CloseHandle(h);
    if (got != ERROR_SUCCESS) return L"(GetSecurityInfo " + std::to_wstring(got) + L")";
    LPWSTR text = nullptr;
    std::wstring out = L"(cannot convert)";
    if (ConvertSecurityDescriptorToStringSecurityDescriptorW(sd, SDDL_REVISION_1,
                                                             OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                                             &text, nullptr)) {
        out = text;
        LocalFree(text);
    }
    LocalFree(sd);
    return out;
}

struct Process {
    PROCESS_INFORMATION pi{};
    bool start(const std::wstring& exe) {
        STARTUPINFOW si{};
        si.cb = sizeof si;
        std::wstring cmd = L"\"" + exe + L"\"";
        return CreateProcessW(exe.c_str(), cmd.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr,
                              &si, &pi) != 0;
    }
    bool ended(DWORD waitMs) const { return WaitForSingleObject(pi.hProcess, waitMs) == WAIT_OBJECT_0; }
    void stop() {
        if (pi.hProcess) {
            TerminateProcess(pi.hProcess, 1);
            WaitForSingleObject(pi.hProcess, 2000);
            CloseHandle(pi.hProcess);
            CloseHandle(pi.hThread);
        }
        pi = {};
    }
    Process() = default;
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;
    ~Process() { stop(); }
};

class EngineFilesWin : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(engineFolder().empty());
        removeTree(engineFolder());
        want = originals();
        for (const std::string& o : want) ASSERT_FALSE(o.empty());
    }
    void TearDown() override { removeTree(engineFolder()); }

    void expectAllUnpacked() {
        for (size_t i = 0; i < 3; ++i) {
            EXPECT_TRUE(readBytes(inFolder(kEngineFiles[i].name)) == want[i]) << kEngineFiles[i].name;  // no dump
        }
    }
    std::vector<std::string> want;
};

// The folder is made for administrators and the system only; one someone else made first, or that
// others may write in, is made afresh and nothing found in it is used.
TEST_F(EngineFilesWin, FolderHasTheDesignedAccessListAndAForeignOneIsRebuilt) {
    struct Row {
        const char* what;
        void (*before)();
        bool wineShows;  // Wine shows every file as the user's own: a folder the user made looks like ours
    };
    const Row rows[] = {
        {"no folder yet", [] {}, true},
        {"made by the user, with a file planted",
         [] {
             CreateDirectoryW(engineFolder().c_str(), nullptr);
             writeBytes(inFolder("planted.txt"), kJunk);
         },
         false},
        {"anyone may write in it, with a file planted",
         [] {
             CreateDirectoryW(engineFolder().c_str(), nullptr);
             writeBytes(inFolder("planted.txt"), kJunk);
             const std::string command = "chmod 777 " + shellQuote(unixPathOf(engineFolder()));
             std::string why;
             startLinuxProgram(L"/bin/sh -c \"" + utf8ToWide(command) + L"\"", why);
             Sleep(300);
         },
         true},
    };
    for (const Row& row : rows) {
        if (underWine() && !row.wineShows) continue;
        SCOPED_TRACE(row.what);
        removeTree(engineFolder());
        row.before();
        const std::wstring before = securityText(engineFolder());
        EXPECT_EQ(ensureEngineFiles(), "");
        expectAllUnpacked();
        EXPECT_FALSE(exists(inFolder("planted.txt"))) << wideToUtf8(before);
        EXPECT_TRUE(exists(inFolder(kEngineMarkerName)));
        // Wine 8 keeps no access lists of files (it shows one made from the Unix mode), so the
        // read-back can only be compared on Windows.
        const std::wstring after = securityText(engineFolder());
        if (!underWine()) {
            EXPECT_EQ(wideToUtf8(after), wideToUtf8(kAdminOnlyFolderSddl));
        }
        // What Wine can show: the folder is ours now, and a second start keeps it.
        writeBytes(inFolder("kept.txt"), kJunk);
        EXPECT_EQ(ensureEngineFiles(), "") << wideToUtf8(after);
        EXPECT_TRUE(exists(inFolder("kept.txt"))) << wideToUtf8(after);
    }
}

// Checked before every start: whatever changed is unpacked again; a file that cannot be replaced
// gives the message and later files are not tried.
TEST_F(EngineFilesWin, ChangedFilesAreUnpackedAgain) {
    struct Row {
        const char* what;
        void (*change)();
        std::string message;
    };
    const Row rows[] = {
        {"xray-core.exe replaced", [] { writeBytes(inFolder("xray-core.exe"), kJunk); }, ""},
        {"sing-box.exe cut short",
         [] { writeBytes(inFolder("sing-box.exe"), readBytes(inFolder("sing-box.exe")).substr(0, 4096)); }, ""},
        {"wintun.dll deleted", [] { DeleteFileW(inFolder("wintun.dll").c_str()); }, ""},
        {"a marker of another build changes nothing", [] { writeBytes(inFolder(kEngineMarkerName), "1.0.0:1:2"); }, ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        ASSERT_EQ(ensureEngineFiles(), "");
        row.change();
        EXPECT_EQ(ensureEngineFiles(), row.message);
        expectAllUnpacked();
    }

    // What cannot be replaced (a folder in the file's place) is never trusted: the message, and
    // later files are not tried.
    DeleteFileW(inFolder("sing-box.exe").c_str());
    ASSERT_TRUE(CreateDirectoryW(inFolder("sing-box.exe").c_str(), nullptr));
    DeleteFileW(inFolder("wintun.dll").c_str());
    EXPECT_EQ(ensureEngineFiles(), "Не удалось распаковать sing-box.exe.");
    EXPECT_TRUE(RemoveDirectoryW(inFolder("sing-box.exe").c_str()));
    EXPECT_FALSE(exists(inFolder("wintun.dll")));  // never tried
}

// While the checked files are held (the engines run), nobody writes, renames or deletes them or
// renames their folder; an engine still starts from them; let go, they can be changed again.
TEST_F(EngineFilesWin, HeldFilesCannotBeChangedButRun) {
    std::vector<PlatformHandle> held;
    ASSERT_EQ(ensureEngineFiles(&held), "");
    EXPECT_EQ(held.size(), 4u);  // the folder and three files
    Process engine;
    ASSERT_TRUE(engine.start(inFolder("xray-core.exe")));
    for (const EngineFile& f : kEngineFiles) {
        SCOPED_TRACE(f.name);
        const std::wstring path = inFolder(f.name);
        HANDLE w = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                               nullptr, OPEN_EXISTING, 0, nullptr);
        EXPECT_EQ(w, INVALID_HANDLE_VALUE);
        if (w != INVALID_HANDLE_VALUE) CloseHandle(w);
        EXPECT_FALSE(MoveFileExW(path.c_str(), (path + L".moved").c_str(), 0));
        EXPECT_FALSE(DeleteFileW(path.c_str()));
        const std::wstring other = engineFolder() + L"\\other.bin";
        writeBytes(other, kJunk);
        // Renaming another file onto a held one: refused by Windows; Wine 8 lets it happen.
        if (!underWine()) {
            EXPECT_FALSE(MoveFileExW(other.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING));
        }
        DeleteFileW(other.c_str());
    }
    EXPECT_FALSE(MoveFileExW(engineFolder().c_str(), (engineFolder() + L"-moved").c_str(), 0));
    expectAllUnpacked();
    engine.stop();
    held.clear();
    EXPECT_TRUE(DeleteFileW(inFolder("wintun.dll").c_str()));
}

// A link where the engine folder or the data folder should be is refused, and nothing is written
// where it leads.
TEST_F(EngineFilesWin, FolderReachedThroughALinkIsRefused) {
    const std::wstring elsewhere = engineFolder() + L"-elsewhere";
    const std::wstring linkedData = dataFolder() + L"-linked";
    removeTree(elsewhere);
    removeLink(linkedData);
    ASSERT_TRUE(CreateDirectoryW(elsewhere.c_str(), nullptr));
    ASSERT_TRUE(makeLink(elsewhere, engineFolder()));
    ASSERT_TRUE(makeLink(dataFolder(), linkedData));
    struct Row {
        const char* what;
        std::wstring folder;
    };
    const Row rows[] = {
        {"engine folder is a link", engineFolder()},
        {"data folder is a link", linkedData + L"\\engine-via-link"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        EXPECT_EQ(ensureEngineFilesIn(row.folder), "Не удалось распаковать xray-core.exe.");
        EXPECT_FALSE(exists(elsewhere + L"\\xray-core.exe"));
        EXPECT_FALSE(exists(dataFolder() + L"\\engine-via-link"));
    }
    removeLink(engineFolder());
    removeLink(linkedData);
    EXPECT_FALSE(exists(engineFolder()));
    EXPECT_FALSE(exists(linkedData));
    removeTree(elsewhere);
}

// Without an engine folder the names would point at the current drive's root: stray files there
// must neither count as unpacked nor be read or replaced.
TEST_F(EngineFilesWin, NoEngineFolderFailsWithoutTouchingTheDriveRoot) {
    wchar_t previous[520];
    GetCurrentDirectoryW(520, previous);
    ASSERT_TRUE(SetCurrentDirectoryW(ownFolder().c_str()));
    const std::wstring stray = L"\\xray-core.exe";
    const bool alreadyThere = exists(stray);
    if (!alreadyThere) writeBytes(stray, kJunk);
    const std::string before = readBytes(stray);
    EXPECT_EQ(ensureEngineFilesIn(L""), "Не удалось распаковать xray-core.exe.");
    EXPECT_EQ(readBytes(stray), before);
    if (!alreadyThere) DeleteFileW(stray.c_str());
    SetCurrentDirectoryW(previous);
}

TEST_F(EngineFilesWin, LeftoverEngineFromTheFolderIsEndedOthersAreNot) {
    const std::wstring helper = ownFolder() + L"\\engine_files_helper.exe";
    const std::wstring elsewhere = engineFolder() + L"-elsewhere";
    ASSERT_EQ(ensureEngineFiles(), "");
    CreateDirectoryW(elsewhere.c_str(), nullptr);
    ASSERT_TRUE(CopyFileW(helper.c_str(), inFolder("sing-box.exe").c_str(), FALSE));  // not the recorded sing-box
    ASSERT_TRUE(CopyFileW(helper.c_str(), (elsewhere + L"\\xray-core.exe").c_str(), FALSE));
    ASSERT_TRUE(CopyFileW(helper.c_str(), (elsewhere + L"\\sing-box.exe").c_str(), FALSE));
    Process ours, foreignXray, foreignSingBox;
    ASSERT_TRUE(ours.start(inFolder("sing-box.exe")));
    ASSERT_TRUE(foreignXray.start(elsewhere + L"\\xray-core.exe"));
    ASSERT_TRUE(foreignSingBox.start(elsewhere + L"\\sing-box.exe"));

    // The running engine locks its file: unpacking only works because it was ended first.
    EXPECT_EQ(ensureEngineFiles(), "");
    EXPECT_TRUE(ours.ended(0));
    EXPECT_FALSE(foreignXray.ended(300));
    EXPECT_FALSE(foreignSingBox.ended(0));
    expectAllUnpacked();

    foreignXray.stop();
    foreignSingBox.stop();
    removeTree(elsewhere);
}

TEST_F(EngineFilesWin, DamagedOrMissingResourceLeavesNoFile) {
    ASSERT_EQ(ensureEngineFiles(), "");
    const std::wstring target = engineFolder() + L"\\damaged.bin";
    EXPECT_FALSE(extractEngineFile(199, target));  // present, but not a container
    EXPECT_FALSE(exists(target));
    EXPECT_FALSE(extractEngineFile(150, target));  // decodes, but not to the recorded digest
    EXPECT_FALSE(exists(target));
    EXPECT_FALSE(extractEngineFile(160, target));  // no such resource
    EXPECT_FALSE(exists(target));
}

}  // namespace
