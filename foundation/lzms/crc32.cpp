#include "foundation/lzms/crc32.h"

#include <array>

#include "foundation/lzms/bytes.h"

namespace {

// Eight tables, so that the CRC of large payloads takes eight bytes a step.
using CrcTables = std::array<std::array<uint32_t, 256>, 8>;
constexpr CrcTables makeCrcTables() {
    CrcTables t{};
    for (uint32_t n = 0; n < 256; ++n) {
        uint32_t c = n;
        for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        t[0][n] = c;
    }
    for (uint32_t n = 0; n < 256; ++n) {
        for (size_t k = 1; k < 8; ++k) t[k][n] = (t[k - 1][n] >> 8) ^ t[0][t[k - 1][n] & 0xff];
    }
    return t;
}
constexpr CrcTables kCrc = makeCrcTables();

}  // namespace

uint32_t crc32Update(uint32_t crc, const uint8_t* data, size_t size) {
    crc = ~crc;
    size_t i = 0;
    for (; i + 8 <= size; i += 8) {
        const uint32_t lo = crc ^ load32(data + i);
        const uint32_t hi = load32(data + i + 4);
        crc = kCrc[7][lo & 0xff] ^ kCrc[6][(lo >> 8) & 0xff] ^ kCrc[5][(lo >> 16) & 0xff] ^ kCrc[4][lo >> 24] ^
              kCrc[3][hi & 0xff] ^ kCrc[2][(hi >> 8) & 0xff] ^ kCrc[1][(hi >> 16) & 0xff] ^ kCrc[0][hi >> 24];
    }
    for (; i < size; ++i) crc = kCrc[0][(crc ^ data[i]) & 0xff] ^ (crc >> 8);
    return ~crc;
}

std::string crc32Record(const uint8_t* data, size_t size) {
    const uint32_t crc = crc32Update(0, data, size);
    std::string record;
    for (int k = 0; k < 4; ++k) record.push_back(static_cast<char>(crc >> (8 * k)));
    return record;
}
