#include "foundation/log.h"

#include <cstdio>
#include <mutex>

#include <windows.h>

#include "foundation/paths.h"

void logLine(const std::string& message) {
    static std::mutex logMutex;
    std::lock_guard<std::mutex> lock(logMutex);
    const std::wstring folder = dataFolder();
    if (folder.empty()) return;
    const std::wstring path = folder + L"\\app.log";
    FILE* f = nullptr;
    // Opened and closed per line: the line is on disk on return, and a deleted log comes back.
    if (_wfopen_s(&f, path.c_str(), L"ab") != 0 || !f) return;
    SYSTEMTIME t;
    GetLocalTime(&t);
    std::fprintf(f, "%02d:%02d:%02d %s\r\n", t.wHour, t.wMinute, t.wSecond, message.c_str());
    std::fclose(f);
}
