// Packs bytes into the Compression API's LZMS container with the LZMS compressor of wimlib
// (native build only). Blocks of min(size, 64 MiB); a block that does not shrink is stored raw.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

inline constexpr unsigned kPackDefaultLevel = 50;  // wimlib's default effort

// False with a one-line reason when the compressor cannot be created.
bool packLzms(const uint8_t* data, size_t size, std::string& container, std::string& why,
              unsigned level = kPackDefaultLevel);

// Packs the file at inPath into outPath (written beside it and renamed into place). With
// digestPath, also writes there the CRC-32 record of the original that the program checks.
bool packFile(const std::string& inPath, const std::string& outPath, std::string& why,
              const std::string& digestPath = "");
