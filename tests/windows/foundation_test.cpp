// Text conversion, the data folder, the log and the checked file writes, for real under Wine.
#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <regex>
#include <sstream>
#include <thread>
#include <vector>

#include "foundation/files_win.h"
#include "foundation/log.h"
#include "foundation/paths.h"
#include "foundation/process_win.h"
#include "foundation/text.h"
#include "test_support.h"
#include "tests/fixtures/wine_linux_win.h"

namespace {

std::filesystem::path logPath() { return std::filesystem::path(dataFolder()) / L"app.log"; }

// Lines of this run's markers, in the previous log too: the log may pass its size limit meanwhile.
std::vector<std::string> linesWith(const std::string& marker) {
    std::vector<std::string> found;
    std::istringstream in(readFileBytes(logPath().parent_path() / L"app.log.1") + readFileBytes(logPath()));
    std::string line;
    while (std::getline(in, line)) {
        if (line.find(marker) != std::string::npos) found.push_back(line);
    }
    return found;
}

std::string uniqueMarker(const char* what) {
    return std::string(what) + "-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(GetTickCount64());
}

}  // namespace

TEST(Paths, FirstCallsFromManyThreadsAgree) {
    // First in this file, so no earlier call has cached the folder: start from no folder at all.
    wchar_t local[MAX_PATH];
    ASSERT_GT(GetEnvironmentVariableW(L"LOCALAPPDATA", local, MAX_PATH), 0u);
    std::error_code ec;
    std::filesystem::remove_all(std::filesystem::path(local) / L"Velmorante", ec);
    ASSERT_FALSE(std::filesystem::exists(std::filesystem::path(local) / L"Velmorante"));
    std::atomic<bool> go{false};
    std::vector<std::wstring> seen(8);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < seen.size(); ++i) {
        threads.emplace_back([&, i] {
            while (!go.load()) std::this_thread::yield();
            seen[i] = dataFolder();
        });
    }
    go = true;
    for (auto& t : threads) t.join();
    for (const auto& s : seen) EXPECT_EQ(s, seen[0]);
    EXPECT_TRUE(std::filesystem::is_directory(seen[0]));
}

TEST(Text, ConversionsRoundTrip) {
    const std::string cyrillic = "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82";  // "Привет"
    const std::wstring wide = utf8ToWide(cyrillic);
    EXPECT_EQ(wide, L"\u041F\u0440\u0438\u0432\u0435\u0442");
    EXPECT_EQ(wideToUtf8(wide), cyrillic);
    EXPECT_EQ(utf8ToWide(""), L"");
    EXPECT_EQ(wideToUtf8(L""), "");
    const std::string emoji = "a\xF0\x9F\x98\x80z";  // outside the BMP: a surrogate pair
    EXPECT_EQ(utf8ToWide(emoji), std::wstring(L"a\xD83D\xDE00z"));
    EXPECT_EQ(wideToUtf8(utf8ToWide(emoji)), emoji);
    // Invalid input is not an error: it comes out as the replacement character.
    EXPECT_EQ(utf8ToWide("a\xFF" "b"), std::wstring(L"a\xFFFD" L"b"));
    // Embedded zero units survive both ways.
    EXPECT_EQ(wideToUtf8(std::wstring(L"x\0y", 3)), std::string("x\0y", 3));
}

TEST(Paths, DataFolderAndModulePath) {
    const std::wstring folder = dataFolder();
    ASSERT_FALSE(folder.empty());
    EXPECT_NE(folder.back(), L'\\');
    EXPECT_EQ(folder.substr(folder.size() - 11), L"\\Velmorante");
    EXPECT_TRUE(std::filesystem::is_directory(folder));

    wchar_t local[MAX_PATH];
    ASSERT_GT(GetEnvironmentVariableW(L"LOCALAPPDATA", local, MAX_PATH), 0u);
    EXPECT_EQ(_wcsicmp(folder.c_str(), (std::wstring(local) + L"\\Velmorante").c_str()), 0);

    const std::wstring exe = modulePath();
    ASSERT_GT(exe.size(), 20u);
    EXPECT_EQ(exe.substr(exe.size() - 19), L"foundation_test.exe");
}

TEST(Log, LineFormat) {
    const std::string marker = uniqueMarker("format");
    logLine(marker + " \xD0\x9E\xD0\xBA");  // UTF-8 goes in unchanged
    logLine(marker + std::string("-cut\0hidden", 11));
    logLine(marker + "-first\nsecond " + marker + "-tail");
    const std::string all = readFileBytes(logPath());
    const std::regex timeThenMarker("(^|\n)[0-2][0-9]:[0-5][0-9]:[0-6][0-9] " + marker + " \xD0\x9E\xD0\xBA\r\n");
    EXPECT_TRUE(std::regex_search(all, timeThenMarker));
    EXPECT_NE(all.find(" " + marker + "-cut\r\n"), std::string::npos);  // cut at the zero byte
    EXPECT_EQ(all.find("hidden"), std::string::npos);
    // "\n" is escaped: one call, one physical line.
    EXPECT_NE(all.find(marker + "-first\\nsecond " + marker + "-tail\r\n"), std::string::npos);
}

TEST(Log, ThreadsWriteWholeLines) {
    const std::string marker = uniqueMarker("threads");
    const int kThreads = 4, kLines = 200;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kLines; ++i) {
                logLine(marker + " thread " + std::to_string(t) + " line " + std::to_string(i) + " " +
                        std::string(100, static_cast<char>('a' + t)));
            }
        });
    }
    for (auto& th : threads) th.join();
    const std::vector<std::string> lines = linesWith(marker);
    ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kLines));
    const std::regex whole("[0-9]{2}:[0-9]{2}:[0-9]{2} " + marker + " thread ([0-3]) line [0-9]+ ([a-d])\\2{99}\r");
    for (const auto& l : lines) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(l, m, whole)) << l;
        EXPECT_EQ(m[1].str()[0] - '0', m[2].str()[0] - 'a');
    }
}

TEST(Log, DeletedLogComesBack) {
    logLine("before delete");
    ASSERT_TRUE(DeleteFileW(logPath().c_str()));
    const std::string marker = uniqueMarker("recreated");
    logLine(marker);
    EXPECT_EQ(linesWith(marker).size(), 1u);
    // A log file that cannot be opened drops the line silently.
    HANDLE locked = CreateFileW(logPath().c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(locked, INVALID_HANDLE_VALUE);
    logLine(marker + "-dropped");
    CloseHandle(locked);
    EXPECT_TRUE(linesWith(marker + "-dropped").empty());
}

// The launcher never leaves a process running outside the job it was given: a job handle that
// cannot take processes makes it terminate the suspended process and return nothing.
TEST(Process, LaunchedIntoItsJobOrNotAtAll) {
    const std::wstring idle = (std::filesystem::path(modulePath()).parent_path() / L"idle_process.exe").wstring();
    UniqueHandle job(CreateJobObjectW(nullptr, nullptr));
    ASSERT_TRUE(job);
    HANDLE queryOnly = nullptr;
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), job.get(), GetCurrentProcess(), &queryOnly, JOB_OBJECT_QUERY,
                                FALSE, 0));
    UniqueHandle cannotAssign(queryOnly);
    auto idleProcesses = [] {
        size_t n = 0;
        for (const ProcessRecord& p : *freshProcesses()) n += sameExeName(p.exeName, "IDLE_PROCESS.exe") ? 1 : 0;
        return n;
    };
    const size_t before = idleProcesses();

    LaunchRequest request;
    request.executable = idle;
    request.job = cannotAssign.get();
    const LaunchedProcess refused = launchProcess(request);
    EXPECT_FALSE(refused.process);
    EXPECT_NE(refused.error, 0u);
    EXPECT_EQ(idleProcesses(), before);

    request.job = job.get();
    LaunchedProcess started = launchProcess(request);
    ASSERT_TRUE(started.process) << started.error;
    BOOL inJob = FALSE;
    EXPECT_TRUE(IsProcessInJob(started.process.get(), job.get(), &inJob) && inJob);
    EXPECT_TRUE(processRunning(started.process.get()));
    EXPECT_EQ(idleProcesses(), before + 1);
    stopProcess(started.process.get(), 0);
    EXPECT_FALSE(processRunning(started.process.get()));
}

// A program started while a Ctrl+C stop is under way must still end on its own Ctrl+C: the stop
// must not leave an "ignore Ctrl+C" attribute for it to inherit.
TEST(Process, ProgramStartedDuringAStopStillEndsOnCtrlC) {
    const std::wstring child = (std::filesystem::path(modulePath()).parent_path() / L"console_child.exe").wstring();
    LaunchRequest stubborn;
    stubborn.executable = child;
    stubborn.commandLine = L"\"" + child + L"\" ignore";
    LaunchedProcess first = launchProcess(stubborn);
    ASSERT_TRUE(first.process) << first.error;
    Sleep(300);  // its own handler is in place
    HANDLE firstHandle = first.process.get();
    UniqueHandle stopping = startThread([firstHandle] { stopProcess(firstHandle, 2000, 99); });
    ASSERT_TRUE(stopping);
    Sleep(500);  // the stop waits out the grace meanwhile

    LaunchRequest plain;
    plain.executable = child;
    LaunchedProcess second = launchProcess(plain);
    ASSERT_TRUE(second.process) << second.error;
    ASSERT_EQ(WaitForSingleObject(stopping.get(), 10000), WAIT_OBJECT_0);
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeProcess(first.process.get(), &code) && code == 99);  // terminated after its grace

    stopProcess(second.process.get(), 5000, 99);
    EXPECT_TRUE(GetExitCodeProcess(second.process.get(), &code) && code != 99) << "terminated: Ctrl+C was ignored";
}

namespace {

// A Unix symbolic link (Wine 8 makes none itself), or its removal, by /bin/sh, waited for.
void shell(const std::string& command, const std::function<bool()>& done) {
    std::string why;
    ASSERT_TRUE(startLinuxProgram(L"/bin/sh -c \"" + utf8ToWide(command) + L"\"", why)) << why;
    ASSERT_TRUE(pollFor(5000, 20, done)) << command;
}

bool present(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

}  // namespace

// Nothing is written, replaced or deleted where a link leads; plain files are written whole and
// leave no temporary file behind.
TEST(Files, NothingIsWrittenThroughALink) {
    const std::wstring base = dataFolder() + L"\\files-test";
    const std::wstring real = base + L"\\real";
    const std::wstring target = real + L"\\target.txt";
    std::filesystem::remove_all(base);
    ASSERT_TRUE(std::filesystem::create_directories(real));
    ASSERT_TRUE(writeFileBytes(target, "original"));
    const std::string u = unixPathOf(base);
    shell("ln -s " + shellQuote(u + "/real") + " " + shellQuote(u + "/linkdir") + " && ln -s " +
              shellQuote(u + "/real/target.txt") + " " + shellQuote(u + "/link.txt"),
          [&] { return present(base + L"\\linkdir") && present(base + L"\\link.txt"); });

    struct Row {
        const char* what;
        std::function<bool()> refused;  // true when the step was refused
    };
    const Row rows[] = {
        {"append through a file link",
         [&] {
             CheckedFile f = openChecked(base + L"\\link.txt", FILE_APPEND_DATA, FILE_SHARE_READ, OPEN_ALWAYS);
             return !f.handle && f.refused;
         }},
        {"new log in a folder reached through a link",
         [&] {
             CheckedFile f =
                 openChecked(base + L"\\linkdir\\new.txt", FILE_APPEND_DATA, FILE_SHARE_READ, OPEN_ALWAYS);
             return !f.handle && f.refused;
         }},
        {"new file in a folder reached through a link", [&] { return !replaceFile(base + L"\\linkdir\\new.txt", "x").empty(); }},
        {"replace in a folder reached through a link",
         [&] { return !replaceFile(base + L"\\linkdir\\target.txt", "x").empty(); }},
        {"delete in a folder reached through a link", [&] { return !deleteFile(base + L"\\linkdir\\target.txt").empty(); }},
        {"a read pin through a file link", [&] { return !pinFile(base + L"\\link.txt").handle; }},
    };
    for (const Row& row : rows) {
        EXPECT_TRUE(row.refused()) << row.what;
        EXPECT_EQ(readFileBytes(target), "original") << row.what;
        EXPECT_FALSE(present(real + L"\\new.txt")) << row.what;
    }
    // Replacing or deleting the file link itself changes the link, never its target.
    EXPECT_EQ(replaceFile(base + L"\\link.txt", "replaced"), "");
    EXPECT_EQ(readFileBytes(base + L"\\link.txt"), "replaced");
    EXPECT_EQ(readFileBytes(target), "original");

    const std::wstring plain = base + L"\\plain.txt";
    EXPECT_EQ(replaceFile(plain, "one"), "");
    EXPECT_EQ(replaceFile(plain, "two"), "");
    EXPECT_EQ(readFileBytes(plain), "two");
    EXPECT_EQ(deleteFile(plain), "");
    EXPECT_EQ(deleteFile(plain), "");  // already gone
    EXPECT_FALSE(present(plain));
    size_t left = 0;
    for (const auto& entry : std::filesystem::directory_iterator(std::filesystem::path(base))) {
        left += entry.path().extension() == ".tmp" ? 1 : 0;
    }
    EXPECT_EQ(left, 0u);

    shell("rm -rf " + shellQuote(u), [&] { return !present(base); });
}
