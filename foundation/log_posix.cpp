#include "foundation/log.h"

#include <cstdio>
#include <ctime>
#include <mutex>

namespace {
std::mutex logMutex;
std::string logFolder;
}  // namespace

void setLogFolder(const std::string& folder) {
    std::lock_guard<std::mutex> lock(logMutex);
    logFolder = folder;
}

void logLine(const std::string& message) {
    std::lock_guard<std::mutex> lock(logMutex);
    if (logFolder.empty()) return;
    const std::string path = logFolder + "/" + kLogFileName;
    FILE* f = std::fopen(path.c_str(), "ab");
    if (!f) return;
    if (std::fseek(f, 0, SEEK_END) == 0 && std::ftell(f) > static_cast<long>(kLogRotateBytes)) {
        std::fclose(f);
        std::rename(path.c_str(), (logFolder + "/" + kPreviousLogFileName).c_str());
        f = std::fopen(path.c_str(), "ab");
        if (!f) return;
    }
    const std::time_t now = std::time(nullptr);
    std::tm t{};
    localtime_r(&now, &t);
    const std::string line = logLineText(t.tm_hour, t.tm_min, t.tm_sec, message);
    std::fwrite(line.data(), 1, line.size(), f);
    std::fclose(f);
}
