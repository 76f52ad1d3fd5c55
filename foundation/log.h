// The application log: one time-stamped English line per event in "app.log" in the data folder.
#pragma once

#include <functional>
#include <string>

// Appends "HH:MM:SS message\r\n" (the message up to its first zero byte). Never fails visibly.
void logLine(const std::string& message);

// Where a seam's log lines go: logLine in the program, a recorder in tests; the default drops them.
using LogSink = std::function<void(const std::string&)>;
inline void dropLogLine(const std::string&) {}

#ifndef _WIN32
// Native builds have no data folder: the log goes to "app.log" in the folder a test chooses,
// and nowhere until one is chosen.
void setLogFolder(const std::string& folder);
#endif
