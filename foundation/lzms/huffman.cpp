#include "foundation/lzms/huffman.h"

#include <algorithm>

void lzmsCodeLengths(const uint32_t* freqs, unsigned count, unsigned maxBits, uint8_t* lens, unsigned* perLen) {
    if (count < 2 || count > kLzmsMaxSymbols) {
        for (unsigned s = 0; s < count && s < kLzmsMaxSymbols; ++s) lens[s] = 1;
        if (perLen) {
            for (unsigned len = 0; len <= maxBits; ++len) perLen[len] = 0;
            perLen[1] = count;
        }
        return;
    }
    // Sorted leaves, ascending by (frequency, symbol): a stable radix sort on the frequency
    // over the symbols in their natural order. Frequencies are halved at every rebuild, so
    // they stay far below 2^16 (and below 2^22, which the packed key needs).
    uint32_t maxFreq = 0;
    for (unsigned s = 0; s < count; ++s) maxFreq = std::max(maxFreq, freqs[s]);
    uint32_t order[kLzmsMaxSymbols];
    if (maxFreq >= (1u << 16)) {
        for (unsigned s = 0; s < count; ++s) order[s] = (std::min(freqs[s], (1u << 22) - 1) << 10) | s;
        std::sort(order, order + count);
    } else {
        uint16_t byLow[kLzmsMaxSymbols];
        unsigned bucket[257] = {};
        for (unsigned s = 0; s < count; ++s) ++bucket[(freqs[s] & 255) + 1];
        for (unsigned k = 1; k < 257; ++k) bucket[k] += bucket[k - 1];
        for (unsigned s = 0; s < count; ++s) byLow[bucket[freqs[s] & 255]++] = static_cast<uint16_t>(s);
        if (maxFreq < 256) {
            for (unsigned i = 0; i < count; ++i) order[i] = (freqs[byLow[i]] << 10) | byLow[i];
        } else {
            unsigned high[257] = {};
            for (unsigned s = 0; s < count; ++s) ++high[(freqs[s] >> 8) + 1];
            for (unsigned k = 1; k < 257; ++k) high[k] += high[k - 1];
            for (unsigned i = 0; i < count; ++i) {
                const unsigned s = byLow[i];
                order[high[freqs[s] >> 8]++] = (freqs[s] << 10) | s;
            }
        }
    }

    // Two queues: the sorted leaves, and the inner nodes in the order they are made (their
    // weights never decrease). A leaf goes first when weights are equal. A sentinel weight
    // ends each queue. Only the inner nodes' parents matter: leaf depths follow from counts.
    constexpr uint32_t kNone = 0xffffffffu;
    uint32_t leafWeight[kLzmsMaxSymbols + 1];
    uint32_t innerWeight[kLzmsMaxSymbols + 1];
    uint16_t innerParent[kLzmsMaxSymbols + 1];
    const unsigned discard = kLzmsMaxSymbols;  // where a leaf's parent is written
    for (unsigned i = 0; i < count; ++i) leafWeight[i] = order[i] >> 10;
    leafWeight[count] = kNone;
    innerWeight[0] = kNone;
    unsigned nextLeaf = 0, nextInner = 0;
    for (unsigned made = 0; made + 1 < count; ++made) {
        uint32_t sum = 0;
        for (int pick = 0; pick < 2; ++pick) {
            const uint32_t lw = leafWeight[nextLeaf], iw = innerWeight[nextInner];
            const bool leaf = lw <= iw;
            sum += leaf ? lw : iw;
            innerParent[leaf ? discard : nextInner] = static_cast<uint16_t>(made);
            nextLeaf += leaf;
            nextInner += !leaf;
        }
        innerWeight[made] = sum;
        innerWeight[made + 1] = kNone;
    }
    const unsigned root = count - 2;

    // Walk the inner nodes from the root down, counting leaves per depth: every inner node
    // turns one leaf of its depth into two of the next. When that would pass the limit, the
    // deepest leaf above the limit is split instead, which keeps the code complete.
    unsigned atDepth[kLzmsMaxCodewordBits + 2] = {};
    uint16_t depth[kLzmsMaxSymbols];
    depth[root] = 0;
    atDepth[1] = 2;
    for (unsigned node = root; node-- > 0;) {
        const unsigned d = depth[innerParent[node]] + 1u;
        depth[node] = static_cast<uint16_t>(d);
        unsigned len = d;
        if (len >= maxBits) {
            len = maxBits;
            do { --len; } while (atDepth[len] == 0);
        }
        --atDepth[len];
        atDepth[len + 1] += 2;
    }

    // The rarest symbols get the longest codewords.
    if (perLen) {
        perLen[0] = 0;
        for (unsigned len = 1; len <= maxBits; ++len) perLen[len] = atDepth[len];
    }
    unsigned i = 0;
    for (unsigned len = maxBits; len >= 1; --len) {
        for (unsigned n = atDepth[len]; n > 0; --n) lens[order[i++] & 1023] = static_cast<uint8_t>(len);
    }
}

void lzmsResetCode(LzmsHuffmanCode& code, unsigned symbols, unsigned tableBits, unsigned rebuildPeriod) {
    code.symbols = std::max(symbols, 2u);
    code.tableBits = tableBits;
    code.rebuildPeriod = rebuildPeriod;
    for (unsigned s = 0; s < code.symbols; ++s) code.freqs[s] = 1;
    lzmsRebuildCode(code);
}

void lzmsRebuildCode(LzmsHuffmanCode& code) {
    const unsigned n = code.symbols;
    unsigned perLen[kLzmsMaxCodewordBits + 1];
    lzmsCodeLengths(code.freqs, n, kLzmsMaxCodewordBits, code.lens, perLen);
    code.untilRebuild = code.rebuildPeriod;

    // Symbols in canonical order (by length, then symbol), so long codewords that share a
    // table prefix are adjacent and get one subtable. The frequencies are halved on the way.
    uint16_t sorted[kLzmsMaxSymbols];
    unsigned start[kLzmsMaxCodewordBits + 2] = {};
    for (unsigned len = 1; len <= kLzmsMaxCodewordBits; ++len) start[len + 1] = start[len] + perLen[len];
    for (unsigned s = 0; s < n; ++s) {
        sorted[start[code.lens[s]]++] = static_cast<uint16_t>(s);
        code.freqs[s] = (code.freqs[s] >> 1) + 1;
    }

    // The first codeword of each length follows the last one of the length before.
    uint32_t next[kLzmsMaxCodewordBits + 2] = {};
    for (unsigned len = 1; len <= kLzmsMaxCodewordBits; ++len) next[len + 1] = (next[len] + perLen[len]) << 1;

    // The code is complete, so every direct entry is written below; a prefix of long codewords
    // gets its subtable link when its first codeword comes along.
    const unsigned tb = code.tableBits;
    const unsigned subBits = kLzmsMaxCodewordBits - tb;
    uint16_t* const table = code.table;
    unsigned subtables = 0;
    uint32_t lastPrefix = ~0u;
    uint16_t* sub = nullptr;
    for (unsigned i = 0; i < n; ++i) {
        const unsigned s = sorted[i];
        const unsigned len = code.lens[s];
        const uint32_t cw = next[len]++;
        const uint16_t entry = static_cast<uint16_t>((s << 4) | len);
        if (len <= tb) {
            const uint32_t first = cw << (tb - len);
            const uint32_t span = 1u << (tb - len);
            for (uint32_t k = 0; k < span; ++k) table[first + k] = entry;
        } else {
            const uint32_t prefix = cw >> (len - tb);
            if (prefix != lastPrefix) {
                lastPrefix = prefix;
                table[prefix] = static_cast<uint16_t>(0x8000 | subtables);
                sub = table + (1u << tb) + (subtables << subBits);
                ++subtables;
            }
            const uint32_t first = (cw & ((1u << (len - tb)) - 1)) << (kLzmsMaxCodewordBits - len);
            const uint32_t span = 1u << (kLzmsMaxCodewordBits - len);
            for (uint32_t k = 0; k < span; ++k) sub[first + k] = entry;
        }
    }
}
