// The adaptive prefix codes of LZMS: every code starts with all symbols equally likely, counts
// the symbols it decodes and is rebuilt from those counts after a fixed number of symbols; the
// counts are then halved (plus one) so that recent data weighs more.
#pragma once

#include <cstdint>

inline constexpr unsigned kLzmsMaxCodewordBits = 15;
inline constexpr unsigned kLzmsMaxSymbols = 799;

// Codeword lengths (at most maxBits) for count symbols with the given frequencies, all >= 1.
// The encoder builds its codes the same way, so every tie is broken the same way: symbols are
// ordered by (frequency, symbol), a leaf is merged before an inner node of equal weight, and
// over-long codes are repaired by splitting the deepest leaf above the limit.
// perLen, when given, receives the number of codewords of each length (maxBits + 1 entries).
void lzmsCodeLengths(const uint32_t* freqs, unsigned count, unsigned maxBits, uint8_t* lens,
                     unsigned* perLen = nullptr);

struct LzmsHuffmanCode {
    static constexpr unsigned kMaxTableBits = 10;
    static constexpr unsigned kSubBits = kLzmsMaxCodewordBits - kMaxTableBits;
    // Direct entries: symbol << 4 | length. An entry with bit 15 set points at a subtable of
    // 2^(15 - tableBits) entries for the codewords longer than tableBits.
    uint16_t table[(1u << kMaxTableBits) + kLzmsMaxSymbols * (1u << kSubBits)] = {};
    uint32_t freqs[kLzmsMaxSymbols] = {};
    uint8_t lens[kLzmsMaxSymbols] = {};
    unsigned symbols = 0;      // as built; at least 2 (see lzmsResetCode)
    unsigned tableBits = 0;
    unsigned rebuildPeriod = 0;
    unsigned untilRebuild = 0;
};

// Starts a code of `symbols` symbols (all frequencies 1). A code with fewer than two symbols
// is built with two, so that every bit pattern decodes; the caller rejects a symbol it cannot use.
void lzmsResetCode(LzmsHuffmanCode& code, unsigned symbols, unsigned tableBits, unsigned rebuildPeriod);
// Rebuilds the decode table from the current frequencies, then halves them.
void lzmsRebuildCode(LzmsHuffmanCode& code);
