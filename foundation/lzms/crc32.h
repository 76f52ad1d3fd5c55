// CRC-32 (the zlib polynomial): the container's header check and the payloads' digest records.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Continued from `crc` (0 to start).
uint32_t crc32Update(uint32_t crc, const uint8_t* data, size_t size);

// The 4-byte little-endian record of the CRC-32 of some bytes.
std::string crc32Record(const uint8_t* data, size_t size);
