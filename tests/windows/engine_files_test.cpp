// Unpacking the engine files under Wine. This executable carries stand-in payloads as its
// resources 101-103 (the packed engine_files_helper.exe, velmorante-tool.exe and a text file)
// with their digest records 201-203, resource 199, which is not a container at all, and 150, a
// sound container whose digest record 250 does not match.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "build_config.h"
#include "foundation/paths.h"
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

std::string expectedMarker() {
    wchar_t self[520];
    GetModuleFileNameW(nullptr, self, 520);
    WIN32_FILE_ATTRIBUTE_DATA a{};
    GetFileAttributesExW(self, GetFileExInfoStandard, &a);
    return engineMarker(vlm::build::kVersion, a.nFileSizeLow, a.ftLastWriteTime.dwLowDateTime);
}

// The originals of the three payloads, in table order.
std::vector<std::string> originals() {
    const std::wstring dir = ownFolder();
    return {readBytes(dir + L"\\engine_files_helper.exe"), readBytes(dir + L"\\velmorante-tool.exe"),
            readBytes(dir + L"\\payloads\\standin-wintun.dll")};
}

const std::string kJunk = "not an engine";

void clearEngineFolder() {
    for (const EngineFile& f : kEngineFiles) DeleteFileW(inFolder(f.name).c_str());
    DeleteFileW(inFolder(kEngineMarkerName).c_str());
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
        clearEngineFolder();
        want = originals();
        for (const std::string& o : want) ASSERT_FALSE(o.empty());
    }
    void TearDown() override { clearEngineFolder(); }

    void expectAllUnpacked() {
        for (size_t i = 0; i < 3; ++i) {
            EXPECT_TRUE(readBytes(inFolder(kEngineFiles[i].name)) == want[i]) << kEngineFiles[i].name;
        }
    }
    std::vector<std::string> want;
};

TEST_F(EngineFilesWin, FirstStartUnpacksAllThreeAndWritesTheMarker) {
    EXPECT_EQ(ensureEngineFiles(), "");
    expectAllUnpacked();
    EXPECT_EQ(readBytes(inFolder(kEngineMarkerName)), expectedMarker());
}

TEST_F(EngineFilesWin, MatchingMarkerUnpacksNothingAndStopsNothing) {
    ASSERT_EQ(ensureEngineFiles(), "");
    // An engine from the folder is running and one file was changed: neither is touched.
    ASSERT_TRUE(CopyFileW((ownFolder() + L"\\engine_files_helper.exe").c_str(), inFolder("sing-box.exe").c_str(), FALSE));
    writeBytes(inFolder("wintun.dll"), kJunk);
    Process engine;
    ASSERT_TRUE(engine.start(inFolder("sing-box.exe")));
    EXPECT_EQ(ensureEngineFiles(), "");
    EXPECT_FALSE(engine.ended(300));
    EXPECT_EQ(readBytes(inFolder("wintun.dll")), kJunk);
}

TEST_F(EngineFilesWin, WhatMakesThemUnpackAgain) {
    struct Row {
        const char* what;
        void (*change)();
    };
    const Row rows[] = {
        {"one file deleted", [] { DeleteFileW(inFolder("wintun.dll").c_str()); }},
        {"marker of another build", [] { writeBytes(inFolder(kEngineMarkerName), "1.2.1:1:2"); }},
        {"marker with a line end", [] { writeBytes(inFolder(kEngineMarkerName), expectedMarker() + "\r\n"); }},
        {"marker longer than ever read",
         [] { writeBytes(inFolder(kEngineMarkerName), expectedMarker() + std::string(300, 'x')); }},
        {"marker missing", [] { DeleteFileW(inFolder(kEngineMarkerName).c_str()); }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        ASSERT_EQ(ensureEngineFiles(), "");
        writeBytes(inFolder("xray-core.exe"), kJunk);  // shows whether all three were unpacked
        row.change();
        EXPECT_EQ(ensureEngineFiles(), "");
        expectAllUnpacked();
        EXPECT_EQ(readBytes(inFolder(kEngineMarkerName)), expectedMarker());
    }
}

TEST_F(EngineFilesWin, ChangedExecutableTimeUnpacksAgain) {
    ASSERT_EQ(ensureEngineFiles(), "");
    const std::string before = expectedMarker();
    wchar_t self[520];
    GetModuleFileNameW(nullptr, self, 520);
    HANDLE h = CreateFileW(self, FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
    FILETIME original{}, changed{};
    GetFileTime(h, nullptr, nullptr, &original);
    changed = original;
    changed.dwLowDateTime += 10000000;  // one second later
    ASSERT_TRUE(SetFileTime(h, nullptr, nullptr, &changed));
    writeBytes(inFolder("xray-core.exe"), kJunk);
    EXPECT_NE(expectedMarker(), before);
    EXPECT_EQ(ensureEngineFiles(), "");
    expectAllUnpacked();
    EXPECT_EQ(readBytes(inFolder(kEngineMarkerName)), expectedMarker());
    SetFileTime(h, nullptr, nullptr, &original);
    CloseHandle(h);
}

TEST_F(EngineFilesWin, LockedFileGivesTheMessageAndStopsThere) {
    ASSERT_EQ(ensureEngineFiles(), "");
    writeBytes(inFolder("xray-core.exe"), kJunk);
    DeleteFileW(inFolder("wintun.dll").c_str());
    writeBytes(inFolder(kEngineMarkerName), "old");
    HANDLE lock = CreateFileW(inFolder("sing-box.exe").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(lock, INVALID_HANDLE_VALUE);
    EXPECT_EQ(ensureEngineFiles(), "Не удалось распаковать sing-box.exe.");
    CloseHandle(lock);
    EXPECT_TRUE(readBytes(inFolder("xray-core.exe")) == want[0]);  // unpacked before the failure
    EXPECT_FALSE(exists(inFolder("wintun.dll")));                  // never tried
    EXPECT_EQ(readBytes(inFolder(kEngineMarkerName)), "old");       // left alone
}

TEST_F(EngineFilesWin, LeftoverEngineFromTheFolderIsEndedOthersAreNot) {
    const std::wstring helper = ownFolder() + L"\\engine_files_helper.exe";
    const std::wstring elsewhere = engineFolder() + L"-elsewhere";
    CreateDirectoryW(elsewhere.c_str(), nullptr);
    ASSERT_TRUE(CopyFileW(helper.c_str(), inFolder("xray-core.exe").c_str(), FALSE));
    ASSERT_TRUE(CopyFileW(helper.c_str(), (elsewhere + L"\\xray-core.exe").c_str(), FALSE));
    ASSERT_TRUE(CopyFileW(helper.c_str(), (elsewhere + L"\\sing-box.exe").c_str(), FALSE));
    Process ours, foreignXray, foreignSingBox;
    ASSERT_TRUE(ours.start(inFolder("xray-core.exe")));
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
    DeleteFileW((elsewhere + L"\\xray-core.exe").c_str());
    DeleteFileW((elsewhere + L"\\sing-box.exe").c_str());
    RemoveDirectoryW(elsewhere.c_str());
}

// Without an engine folder the names would point at the current drive's root: stray files there,
// even a matching marker, must neither count as unpacked nor be read or replaced.
TEST_F(EngineFilesWin, NoEngineFolderFailsWithoutTouchingTheDriveRoot) {
    wchar_t previous[520];
    GetCurrentDirectoryW(520, previous);
    ASSERT_TRUE(SetCurrentDirectoryW(ownFolder().c_str()));
    const std::vector<std::wstring> stray = {L"\\.build", L"\\xray-core.exe", L"\\sing-box.exe", L"\\wintun.dll"};
    const bool alreadyThere = exists(stray[0]);
    if (!alreadyThere) {
        writeBytes(stray[0], expectedMarker());
        for (size_t i = 1; i < stray.size(); ++i) writeBytes(stray[i], kJunk);
    }
    const std::string before = readBytes(stray[1]);
    EXPECT_EQ(ensureEngineFilesIn(L""), "Не удалось распаковать xray-core.exe.");
    EXPECT_EQ(readBytes(stray[1]), before);
    if (!alreadyThere) {
        for (const std::wstring& f : stray) DeleteFileW(f.c_str());
    }
    SetCurrentDirectoryW(previous);
}

TEST_F(EngineFilesWin, DamagedOrMissingResourceLeavesNoFile) {
    const std::wstring target = engineFolder() + L"\\damaged.bin";
    EXPECT_FALSE(extractEngineFile(199, target));  // present, but not a container
    EXPECT_FALSE(exists(target));
    EXPECT_FALSE(extractEngineFile(150, target));  // decodes, but not to the recorded digest
    EXPECT_FALSE(exists(target));
    EXPECT_FALSE(extractEngineFile(160, target));  // no such resource
    EXPECT_FALSE(exists(target));
}

}  // namespace
