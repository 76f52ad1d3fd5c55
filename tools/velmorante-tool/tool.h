// The frame of velmorante-tool: command table entries and standard input and output in bytes.
#pragma once

#include <string>
#include <vector>

struct JsonValue;

using ToolArgs = std::vector<std::string>;  // UTF-8, after the command name

struct ToolCommand {
    const char* name;
    const char* usage;    // arguments, after the name
    const char* summary;  // one line for --help
    int (*run)(const ToolArgs& args);
};

// Exit codes shared by the commands.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;

// Reads all of standard input as bytes. False when it cannot be read.
bool readStandardInput(std::string& out);
// Writes bytes to standard output unchanged (no newline translation) and flushes.
void writeStandardOutput(const std::string& bytes);
// Writes one line to standard error.
void writeError(const std::string& line);
// Reads standard input as one JSON document. On failure says why on standard error ("invalid JSON")
// and returns false; the caller exits with kExitFailed.
bool readJsonDocument(JsonValue& out);
// Prints "usage: velmorante-tool NAME USAGE" to standard error and returns kExitUsage.
int usageError(const char* commandName);

// The commands.
int runJson(const ToolArgs& args);

// links and engine documents
int runLink(const ToolArgs& args);
int runXray(const ToolArgs& args);
int runSingBox(const ToolArgs& args);
// A local port argument: decimal digits only, 1 to 65535.
bool readPortArgument(const std::string& text, int& port);

// service documents
int runProfile(const ToolArgs& args);

// engine payloads
#ifndef _WIN32
int runPack(const ToolArgs& args);
#endif
int runUnpack(const ToolArgs& args);

// the machine, as the tunnel start sees it (Windows only)
#ifdef _WIN32
int runAdapters(const ToolArgs& args);
int runConflicts(const ToolArgs& args);

// the headless client
int runConnect(const ToolArgs& args);
int runServers(const ToolArgs& args);
int runFetchProfile(const ToolArgs& args);
#endif

