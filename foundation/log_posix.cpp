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
    FILE* f = std::fopen((logFolder + "/app.log").c_str(), "ab");
    if (!f) return;
    const std::time_t now = std::time(nullptr);
    std::tm t{};
    localtime_r(&now, &t);
    std::fprintf(f, "%02d:%02d:%02d %s\r\n", t.tm_hour, t.tm_min, t.tm_sec, message.c_str());
    std::fclose(f);
}
