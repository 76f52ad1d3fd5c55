// Little-endian loads and stores, byte by byte: correct at any alignment and on any host.
#pragma once

#include <cstdint>

inline uint32_t load32(const uint8_t* p) {
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

inline uint64_t load64(const uint8_t* p) { return uint64_t{load32(p)} | uint64_t{load32(p + 4)} << 32; }

inline void store32(uint8_t* p, uint32_t v) {
    for (int k = 0; k < 4; ++k) p[k] = static_cast<uint8_t>(v >> (8 * k));
}
