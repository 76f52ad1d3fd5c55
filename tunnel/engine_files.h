// The engine files: the two engine programs and the tunnel driver library that the program
// carries compressed in its resources and unpacks into the engine folder before a tunnel starts.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "foundation/handle.h"

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

// Resource id + 200 holds the SHA-256 of the unpacked file as 64 hex digits, recorded by the build
// from the very file it packed. Before every tunnel start each file in the engine folder is read
// through a handle that keeps it unchanged and compared with this record.
inline constexpr int kEngineSha256IdOffset = 200;

// Written after an unpacking: which build unpacked the files. Nothing decides on it any more: the
// digests do.
inline constexpr const char* kEngineMarkerName = ".build";

// "version:size:time": the program's version and the low 32 bits of its executable's size and
// last-write time.
std::string engineMarker(const std::string& version, uint32_t sizeLow, uint32_t writeTimeLow);

// The user's message when a file cannot be unpacked.
std::string engineUnpackFailure(const char* name);

// What the preparation needs from the system; the Windows edge fills it with the real calls.
// Defaults: a folder that cannot be made, where nothing can be unpacked.
struct EngineFilesOps {
    std::string marker;
    // The engine folder made or checked (only administrators and the system may change it);
    // false when it is refused.
    std::function<bool()> prepareFolder = [] { return false; };
    // The file is held so that nobody changes it, is no link, and its bytes have the recorded digest.
    std::function<bool(const EngineFile& file)> verify = [](const EngineFile&) { return false; };
    std::function<void()> stopLeftoverEngines = [] {};
    // Unpacks one file into the folder.
    std::function<bool(int resourceId, const char* name)> extract = [](int, const char*) { return false; };
    std::function<void(const std::string& marker)> writeMarker = [](const std::string&) {};  // failures not reported
};

// Checks every engine file before every start: one that fails its check is unpacked again (after
// leftover engines were stopped, once) and checked again. Returns "" on success, else the message
// naming the first file that failed twice (the first one when the folder is refused); later files
// are not tried, and the marker is written only after an unpacking that succeeded.
std::string ensureEngineFilesWith(const EngineFilesOps& ops);

// The Windows edge (engine_files_win.cpp); the folder is engineFolder() of foundation/paths.h.
// The handles that keep the folder and the checked files unchanged go to held (they are to be kept
// until the engines have exited); without it they are let go at once.
std::string ensureEngineFiles(std::vector<PlatformHandle>* held = nullptr);
// The same for a given folder; an empty one fails without reading or writing anything.
std::string ensureEngineFilesIn(const std::wstring& folder, std::vector<PlatformHandle>* held = nullptr);
bool extractEngineFile(int resourceId, const std::wstring& targetPath);
void killLeftoverEngines();
