// The program's data folder, the engine folder inside it, and its own executable's path (Windows).
#pragma once

#include <cstddef>
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

// The data folder + "\\engine": where the engines are unpacked and run. Only the program with
// administrator rights makes it, with an access list of its own (tunnel/engine_files_win.cpp); empty
// when there is no data folder (then no engine file is read, written or run).
std::wstring engineFolder();

// True when path names something inside folder: folder, ignoring case, followed by a path separator.
// A sibling such as "...\\engine-old\\x.exe" is not inside "...\\engine"; an empty folder holds nothing.
bool isInsideFolder(const std::wstring& path, const std::wstring& folder);
// The same test with the case comparison given, for platforms without the Windows one.
bool isInsideFolderWith(const std::wstring& path, const std::wstring& folder,
                        bool (*sameIgnoringCase)(const wchar_t* a, const wchar_t* b, size_t length));
