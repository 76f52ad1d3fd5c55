#include "foundation/log.h"

#include <cstdio>
#include <mutex>

#include <windows.h>

#include "foundation/paths.h"
#include "foundation/text.h"

void logLine(const std::string& message) {
    static std::mutex logMutex;
    std::lock_guard<std::mutex> lock(logMutex);
    const std::wstring folder = dataFolder();
    if (folder.empty()) return;
    const std::wstring path = folder + L"\\" + utf8ToWide(kLogFileName);
    FILE* f = nullptr;
    // Opened and closed per line: the line is on disk on return, and a deleted log comes back.
    if (_wfopen_s(&f, path.c_str(), L"ab") != 0 || !f) return;
    if (_fseeki64(f, 0, SEEK_END) == 0 && _ftelli64(f) > static_cast<long long>(kLogRotateBytes)) {
        std::fclose(f);
        f = nullptr;
        // A log another program holds open stays as it is and is tried again at the next line.
        const std::wstring previous = folder + L"\\" + utf8ToWide(kPreviousLogFileName);
        MoveFileExW(path.c_str(), previous.c_str(), MOVEFILE_REPLACE_EXISTING);
        if (_wfopen_s(&f, path.c_str(), L"ab") != 0 || !f) return;
    }
    SYSTEMTIME t;
    GetLocalTime(&t);
    const std::string line = logLineText(t.wHour, t.wMinute, t.wSecond, message);
    std::fwrite(line.data(), 1, line.size(), f);
    std::fclose(f);
}
