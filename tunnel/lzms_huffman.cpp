#include "tunnel/lzms_huffman.h"

#include <algorithm>
#include <cstring>

void lzmsCodeLengths(const uint32_t* freqs, unsigned count, unsigned maxBits, uint8_t* lens) {
    if (count < 2 || count > kLzmsMaxSymbols) {
        for (unsigned s = 0; s < count && s < kLzmsMaxSymbols; ++s) lens[s] = 1;
        return;
    }
    // Sorted leaves, ascending by (frequency, symbol). Frequencies stay far below 2^22 because
    // they are halved at every rebuild.
    uint32_t order[kLzmsMaxSymbols];
    for (unsigned s = 0; s < count; ++s) order[s] = (freqs[s] << 10) | s;
    std::sort(order, order + count);

    // Two queues: the sorted leaves, and the inner nodes in the order they are made (their
    // weights never decrease). parent[] holds, for each node, the inner node above it.
    uint32_t weight[2 * kLzmsMaxSymbols];
    uint16_t parent[2 * kLzmsMaxSymbols];
    for (unsigned i = 0; i < count; ++i) weight[i] = order[i] >> 10;
    unsigned nextLeaf = 0, nextInner = count, made = count;
    auto takeLightest = [&]() -> unsigned {
        if (nextLeaf < count && (nextInner == made || weight[nextLeaf] <= weight[nextInner])) {
            return nextLeaf++;
        }
        return nextInner++;
    };
    for (unsigned k = 0; k + 1 < count; ++k) {
        const unsigned a = takeLightest();
        const unsigned b = takeLightest();
        weight[made] = weight[a] + weight[b];
        parent[a] = parent[b] = static_cast<uint16_t>(made);
        ++made;
    }
    const unsigned root = made - 1;

    // Walk the inner nodes from the root down, counting leaves per depth: every inner node
    // turns one leaf of its depth into two of the next. When that would pass the limit, the
    // deepest leaf above the limit is split instead, which keeps the code complete.
    unsigned atDepth[kLzmsMaxCodewordBits + 2] = {};
    uint8_t depth[2 * kLzmsMaxSymbols];
    depth[root] = 0;
    atDepth[1] = 2;
    for (unsigned node = root; node-- > count;) {
        const unsigned d = depth[parent[node]] + 1u;
        depth[node] = static_cast<uint8_t>(std::min(d, 255u));
        unsigned len = d;
        if (len >= maxBits) {
            len = maxBits;
            do { --len; } while (atDepth[len] == 0);
        }
        --atDepth[len];
        atDepth[len + 1] += 2;
    }

    // The rarest symbols get the longest codewords.
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
    lzmsCodeLengths(code.freqs, n, kLzmsMaxCodewordBits, code.lens);
    for (unsigned s = 0; s < n; ++s) code.freqs[s] = (code.freqs[s] >> 1) + 1;
    code.untilRebuild = code.rebuildPeriod;

    // Canonical codewords: by length, then by symbol; the first codeword of each length follows
    // the last one of the length before.
    unsigned perLen[kLzmsMaxCodewordBits + 1] = {};
    for (unsigned s = 0; s < n; ++s) ++perLen[code.lens[s]];
    uint32_t next[kLzmsMaxCodewordBits + 2] = {};
    for (unsigned len = 1; len <= kLzmsMaxCodewordBits; ++len) next[len + 1] = (next[len] + perLen[len]) << 1;

    const unsigned tb = code.tableBits;
    const unsigned subBits = kLzmsMaxCodewordBits - tb;
    uint16_t* const table = code.table;
    unsigned subtables = 0;
    // Symbols in canonical order (by length, then symbol), so long codewords that share a
    // table prefix are adjacent and get one subtable.
    uint16_t sorted[kLzmsMaxSymbols];
    unsigned start[kLzmsMaxCodewordBits + 2] = {};
    for (unsigned len = 1; len <= kLzmsMaxCodewordBits; ++len) start[len + 1] = start[len] + perLen[len];
    for (unsigned s = 0; s < n; ++s) sorted[start[code.lens[s]]++] = static_cast<uint16_t>(s);

    std::memset(table, 0, sizeof(uint16_t) << tb);
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
            if (!(table[prefix] & 0x8000)) table[prefix] = static_cast<uint16_t>(0x8000 | subtables++);
            uint16_t* sub = table + (1u << tb) + ((table[prefix] & 0x7fffu) << subBits);
            const uint32_t first = (cw & ((1u << (len - tb)) - 1)) << (kLzmsMaxCodewordBits - len);
            const uint32_t span = 1u << (kLzmsMaxCodewordBits - len);
            for (uint32_t k = 0; k < span; ++k) sub[first + k] = entry;
        }
    }
}
