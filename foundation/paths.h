// The program's data folder and its own executable's path (Windows).
#pragma once

#include <string>

// %LOCALAPPDATA%\Velmorante, created on first use and cached for the run, no trailing backslash.
// When the known-folder lookup fails: the temporary folder + "Velmorante"; when that fails too,
// empty (then nothing is logged and nothing is unpacked).
std::wstring dataFolder();

// The path of the running executable (at most 519 characters, as the platform call cuts it).
std::wstring modulePath();

// The choice behind dataFolder, apart from the lookups so it can be tested:
// knownFolder is the LocalAppData path or empty when its lookup failed; tempFolder likewise.
std::wstring chooseDataFolder(const std::wstring& knownFolder, const std::wstring& tempFolder);
