// The engine files: the two engine programs and the tunnel driver library that the program
// carries compressed in its resources and unpacks into the engine folder before a tunnel starts.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

struct EngineFile {
    int resourceId;    // RT_RCDATA
    const char* name;  // file name in the engine folder
};

// In the order they are checked and unpacked.
inline constexpr EngineFile kEngineFiles[] = {
    {101, "xray-core.exe"},
    {102, "sing-box.exe"},
    {103, "wintun.dll"},
};

// Resource id + 100 holds the CRC-32 of the unpacked file (4 bytes, little-endian), made when
// the payload was packed: LZMS itself carries no check, and a damaged stream may still decode.
inline constexpr int kEngineDigestIdOffset = 100;
inline constexpr size_t kEngineDigestSize = 4;

// True when the unpacked bytes have the recorded CRC-32 (crc32Record of foundation/lzms/crc32.h).
// A record of another size never matches.
bool engineDigestMatches(const uint8_t* data, size_t size, const uint8_t* digest, size_t digestSize);

inline constexpr const char* kEngineMarkerName = ".build";
// Only this much of a stored marker is ever read.
inline constexpr size_t kEngineMarkerReadLimit = 128;

// "version:size:time": the program's version and the low 32 bits of its executable's size and
// last-write time. A new build gives a new marker, and the engines are unpacked again.
std::string engineMarker(const std::string& version, uint32_t sizeLow, uint32_t writeTimeLow);

// The user's message when a file cannot be unpacked.
std::string engineUnpackFailure(const char* name);

// What the unpacking needs from the system; the Windows edge fills it with the real calls.
// Defaults: an empty folder where nothing can be unpacked.
struct EngineFilesOps {
    std::string expectedMarker;
    // "" when absent; see kEngineMarkerReadLimit.
    std::function<std::string()> readMarker = [] { return std::string(); };
    std::function<bool(const char* name)> present = [](const char*) { return false; };  // in the engine folder
    std::function<void()> stopLeftoverEngines = [] {};
    // Unpacks one file into the folder.
    std::function<bool(int resourceId, const char* name)> extract = [](int, const char*) { return false; };
    std::function<void(const std::string& marker)> writeMarker = [](const std::string&) {};  // failures not reported
};

// Unpacks the engine files unless all are present and the stored marker, cut to
// kEngineMarkerReadLimit bytes, equals the expected one exactly. Returns "" on success, else the
// message naming the first file that failed; files unpacked before it stay, later ones are not
// tried, and the marker is left alone.
std::string ensureEngineFilesWith(const EngineFilesOps& ops);

// The Windows edge (engine_files_win.cpp); the folder is engineFolder() of foundation/paths.h.
std::string ensureEngineFiles();
// The same for a given folder; an empty one fails without reading or writing anything.
std::string ensureEngineFilesIn(const std::wstring& folder);
bool extractEngineFile(int resourceId, const std::wstring& targetPath);
void killLeftoverEngines();
