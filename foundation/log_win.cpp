#include "foundation/log.h"

#include <mutex>

#include <windows.h>

#include "foundation/files_win.h"
#include "foundation/paths.h"
#include "foundation/text.h"

namespace {

// app.log opened for appending through the file module (never through a link), others free to read,
// write and rename it.
CheckedFile openLog(const std::wstring& path) {
    return openChecked(path, FILE_APPEND_DATA | DELETE | SYNCHRONIZE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       OPEN_ALWAYS);
}

}  // namespace

void logLine(const std::string& message) {
    static std::mutex logMutex;
    std::lock_guard<std::mutex> lock(logMutex);
    const std::wstring folder = dataFolder();
    if (folder.empty()) return;
    const std::wstring path = folder + L"\\" + utf8ToWide(kLogFileName);
    // Opened and closed per line: the line is on disk on return, and a deleted log comes back.
    CheckedFile log = openLog(path);
    if (!log.handle) return;
    LARGE_INTEGER size{};
    if (GetFileSizeEx(log.handle.get(), &size) && size.QuadPart > static_cast<LONGLONG>(kLogRotateBytes)) {
        // A log another program holds open stays as it is and is tried again at the next line.
        const std::wstring previous = folder + L"\\" + utf8ToWide(kPreviousLogFileName);
        if (renameThroughHandle(log.handle.get(), previous, true)) {
            log = openLog(path);
            if (!log.handle) return;
        }
    }
    SYSTEMTIME t;
    GetLocalTime(&t);
    const std::string line = logLineText(t.wHour, t.wMinute, t.wSecond, message);
    DWORD written = 0;
    WriteFile(log.handle.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
}
