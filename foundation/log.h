// The application log: one time-stamped English line per event in "app.log" in the data folder.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

// Appends "HH:MM:SS message\r\n" (the message up to its first zero byte, its control characters
// escaped as logText does). Never fails visibly. Before a line is added to a log that has passed
// kLogRotateBytes, the log becomes "app.log.1" (replacing the one before) and a new "app.log" starts.
void logLine(const std::string& message);

inline constexpr uint64_t kLogRotateBytes = 1024 * 1024;
inline constexpr const char* kLogFileName = "app.log";
inline constexpr const char* kPreviousLogFileName = "app.log.1";

// The message as it is written: cut at its first zero byte; CR, LF and tab as "\r", "\n" and "\t",
// every other byte below 0x20 and 0x7F as "\xNN" (upper-case hex). Texts from the page, the service
// and the engines thus cannot start a line of their own or carry terminal sequences. Backslashes
// and all other bytes (UTF-8 included) pass unchanged, so paths read as they are.
std::string logText(const std::string& message);
// One whole line: "%02d:%02d:%02d %s\r\n" with the escaped message.
std::string logLineText(int hour, int minute, int second, const std::string& message);

// Where a seam's log lines go: logLine in the program, a recorder in tests; the default drops them.
using LogSink = std::function<void(const std::string&)>;
inline void dropLogLine(const std::string&) {}

#ifndef _WIN32
// Native builds have no data folder: the log goes to "app.log" in the folder a test chooses,
// and nowhere until one is chosen.
void setLogFolder(const std::string& folder);
#endif
