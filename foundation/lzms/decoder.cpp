#include "foundation/lzms/decoder.h"

#include <cstring>

#include "foundation/lzms/huffman.h"
#include "foundation/lzms/tables.h"
#include "foundation/lzms/x86.h"

namespace {

// Adaptive bit probabilities: each context remembers its last 64 bits and predicts a 0 with
// (number of zeros among them) / 64, never 0 or 64.
constexpr unsigned kProbabilityBits = 6;
constexpr uint32_t kHistoryBits = 1u << kProbabilityBits;
constexpr uint32_t kInitialZeros = 48;
constexpr uint64_t kInitialHistory = 0x0000000055555555ull;

struct BitModel {
    uint32_t zeros = kInitialZeros;
    uint32_t prob = kInitialZeros;  // zeros kept within [1, 63], ready for the next decision
    uint64_t history = kInitialHistory;
};

constexpr unsigned kRecentMatches = 3;  // repeat matches choose among the three most recent

// The models of one decision, chosen by the decision's recent outcomes (its state).
struct Contexts {
    BitModel models[64];
};

}  // namespace

struct LzmsDecoderState {
    // The decisions: literal or match, LZ or delta match, explicit or repeated source, and
    // which of the recent sources.
    Contexts main, match, lz, delta, lzRep[kRecentMatches - 1], deltaRep[kRecentMatches - 1];
    LzmsHuffmanCode literal, lzOffset, length, deltaOffset, deltaPower;
    int32_t x86LastUse[kLzmsX86HistorySize];
};

LzmsDecoder::LzmsDecoder() : state(new LzmsDecoderState) {}
LzmsDecoder::~LzmsDecoder() = default;
LzmsDecoder::LzmsDecoder(LzmsDecoder&&) noexcept = default;
LzmsDecoder& LzmsDecoder::operator=(LzmsDecoder&&) noexcept = default;

// The hot paths must be inlined into the item loop; compilers do not always see that.
#if defined(_MSC_VER)
#define LZMS_INLINE __forceinline
#else
#define LZMS_INLINE inline __attribute__((always_inline))
#endif

namespace {

inline uint32_t load16(const uint8_t* p) { return uint32_t{p[0]} | uint32_t{p[1]} << 8; }

// The range-coded decisions run forward through the stream in 16-bit little-endian units.
struct RangeReader {
    const uint8_t* next;
    const uint8_t* end;
    uint32_t range = 0xffffffffu;
    uint32_t code = 0;

    // state lives in a local of the item loop, where the compiler can keep it in a register.
    LZMS_INLINE unsigned bit(Contexts& ctx, uint32_t& state, uint32_t stateMask) {
        BitModel& m = ctx.models[state];
        const uint32_t p = m.prob;
        if (range <= 0xffff) {
            range <<= 16;
            code <<= 16;
            if (next != end) {  // past the end the stream reads as zeros
                code |= load16(next);
                next += 2;
            }
        }
        const uint32_t bound = (range >> kProbabilityBits) * p;
        unsigned b;
        if (code < bound) {
            range = bound;
            b = 0;
        } else {
            range -= bound;
            code -= bound;
            b = 1;
        }
        const uint32_t z = m.zeros + static_cast<uint32_t>(m.history >> 63) - b;
        m.zeros = z;
        m.prob = z == 0 ? 1 : (z == kHistoryBits ? kHistoryBits - 1 : z);
        m.history = (m.history << 1) | b;
        state = ((state << 1) | b) & stateMask;
        return b;
    }
};

// The prefix codes and the extra bits run backward from the end of the stream: 16-bit
// little-endian units, last unit first, each read from its top bit down. Before the start the
// stream reads as zeros.
struct BitReader {
    const uint8_t* begin;
    const uint8_t* next;  // the next unit to read ends here
    uint64_t bits = 0;    // unread bits, at the top
    unsigned count = 0;

    // At least 32 bits available afterwards.
    inline void fill() {
        if (count >= 32) return;
        if (next - begin >= 4) {
            next -= 4;
            const uint64_t unit = uint64_t{load16(next + 2)} << 16 | load16(next);
            bits |= unit << (32 - count);
            count += 32;
            return;
        }
        while (count < 32) {
            uint64_t unit = 0;
            if (next - begin >= 2) {
                next -= 2;
                unit = load16(next);
            }
            bits |= unit << (48 - count);
            count += 16;
        }
    }

    inline uint32_t take(unsigned n) {  // n <= 31, after fill()
        if (n == 0) return 0;
        const uint32_t v = static_cast<uint32_t>(bits >> (64 - n));
        bits <<= n;
        count -= n;
        return v;
    }
};

template <unsigned TableBits>
LZMS_INLINE unsigned decodeSymbol(BitReader& in, LzmsHuffmanCode& code) {
    constexpr unsigned kSubBits = kLzmsMaxCodewordBits - TableBits;
    in.fill();
    uint32_t entry = code.table[in.bits >> (64 - TableBits)];
    if (entry & 0x8000) {
        const uint32_t low = static_cast<uint32_t>(in.bits >> (64 - kLzmsMaxCodewordBits)) & ((1u << kSubBits) - 1);
        entry = code.table[(1u << TableBits) + ((entry & 0x7fff) << kSubBits) + low];
    }
    const unsigned len = entry & 15;
    in.bits <<= len;
    in.count -= len;
    const unsigned sym = entry >> 4;
    ++code.freqs[sym];
    if (--code.untilRebuild == 0) [[unlikely]] lzmsRebuildCode(code);
    return sym;
}

template <unsigned TableBits>
LZMS_INLINE uint32_t decodeSlotValue(BitReader& in, LzmsHuffmanCode& code, const LzmsSlotTable& slots) {
    const unsigned slot = decodeSymbol<TableBits>(in, code);
    in.fill();
    return slots.base[slot] + in.take(slots.extraBits[slot]);
}

// Decode table sizes: direct lookups cover the common codeword lengths of each code.
constexpr unsigned kLiteralTableBits = 10, kOffsetTableBits = 10, kLengthTableBits = 9, kPowerTableBits = 7;

void resetContexts(Contexts& c) {
    for (BitModel& m : c.models) m = BitModel{};
}

void resetState(LzmsDecoderState& s, size_t blockSize) {
    for (Contexts* c : {&s.main, &s.match, &s.lz, &s.delta, &s.lzRep[0], &s.lzRep[1], &s.deltaRep[0],
                        &s.deltaRep[1]}) {
        resetContexts(*c);
    }
    const unsigned offsetSlots = lzmsOffsetSlotCount(blockSize);
    // Symbols, decode table bits and rebuild period of each code.
    lzmsResetCode(s.literal, 256, kLiteralTableBits, 1024);
    lzmsResetCode(s.lzOffset, offsetSlots, kOffsetTableBits, 1024);
    lzmsResetCode(s.length, kLzmsLengthSlots, kLengthTableBits, 512);
    lzmsResetCode(s.deltaOffset, offsetSlots, kOffsetTableBits, 1024);
    lzmsResetCode(s.deltaPower, 8, kPowerTableBits, 512);
}

// State masks of the decision contexts.
constexpr uint32_t kMainMask = 15, kMatchMask = 31, kLzMask = 63, kDeltaMask = 63, kRepMask = 63;

// Picks entry `which` out of a recent-match list and moves it out of the list.
template <typename T>
inline T takeRecent(T* recent, unsigned which) {
    const T v = recent[which];
    for (unsigned k = which; k < kRecentMatches; ++k) recent[k] = recent[k + 1];
    return v;
}

template <typename T>
inline void pushRecent(T* recent, T v) {
    for (unsigned k = kRecentMatches; k > 0; --k) recent[k] = recent[k - 1];
    recent[0] = v;
}

inline void copyMatch(uint8_t* dst, size_t offset, size_t length, size_t room) {
    const uint8_t* src = dst - offset;
    if (offset >= 8 && length + 16 <= room) {
        // Whole 8-byte words, two per step; each word reads only bytes already in place, and
        // the overshoot lands in the room left, to be overwritten later.
        for (size_t k = 0; k < length; k += 16) {
            std::memcpy(dst + k, src + k, 8);
            std::memcpy(dst + k + 8, src + k + 8, 8);
        }
        return;
    }
    if (offset == 1) {  // a run of one byte value, common in padding
        std::memset(dst, dst[-1], length);
        return;
    }
    for (size_t k = 0; k < length; ++k) dst[k] = src[k];
}

}  // namespace

bool lzmsDecodeBlock(LzmsDecoder& decoder, const uint8_t* in, size_t inSize, uint8_t* out, size_t outSize) {
    // The stream is made of 16-bit units and the range decoder starts with two of them.
    if (inSize < 4 || (inSize & 1) != 0) return false;
    LzmsDecoderState& s = *decoder.state;
    resetState(s, outSize);

    RangeReader rc{in + 4, in + inSize};
    rc.code = load16(in) << 16 | load16(in + 2);
    BitReader br{in, in + inSize};

    const LzmsSlotTable& offsetSlots = lzmsOffsetSlots();
    const LzmsSlotTable& lengthSlots = lzmsLengthSlots();

    // Recent matches: the list holds one spare entry beyond the three a repeat can choose.
    // A match joins the list only after the next item, so it waits in `pending` for one item.
    uint32_t recentLz[kRecentMatches + 1] = {1, 2, 3, 4};
    uint64_t recentDelta[kRecentMatches + 1] = {1, 2, 3, 4};  // power << 32 | raw offset
    uint32_t mainState = 0, matchState = 0, lzState = 0, deltaState = 0;
    uint32_t lzRepState[kRecentMatches - 1] = {}, deltaRepState[kRecentMatches - 1] = {};
    uint32_t pendingLz = 0;
    uint64_t pendingDelta = 0;

    size_t pos = 0;
    while (pos < outSize) {
        uint32_t newLz = 0;
        uint64_t newDelta = 0;
        if (!rc.bit(s.main, mainState, kMainMask)) {
            out[pos++] = static_cast<uint8_t>(decodeSymbol<kLiteralTableBits>(br, s.literal));
        } else if (!rc.bit(s.match, matchState, kMatchMask)) {
            uint32_t offset;
            if (!rc.bit(s.lz, lzState, kLzMask)) {
                offset = decodeSlotValue<kOffsetTableBits>(br, s.lzOffset, offsetSlots);
            } else {
                unsigned which = 0;
                while (which < kRecentMatches - 1 && rc.bit(s.lzRep[which], lzRepState[which], kRepMask)) ++which;
                offset = takeRecent(recentLz, which);
            }
            const uint32_t length = decodeSlotValue<kLengthTableBits>(br, s.length, lengthSlots);
            if (offset > pos || length > outSize - pos) return false;
            copyMatch(out + pos, offset, length, outSize - pos);
            pos += length;
            newLz = offset;
        } else {
            uint64_t pair;
            if (!rc.bit(s.delta, deltaState, kDeltaMask)) {
                const uint32_t power = decodeSymbol<kPowerTableBits>(br, s.deltaPower);
                const uint32_t raw = decodeSlotValue<kOffsetTableBits>(br, s.deltaOffset, offsetSlots);
                pair = uint64_t{power} << 32 | raw;
            } else {
                unsigned which = 0;
                while (which < kRecentMatches - 1 && rc.bit(s.deltaRep[which], deltaRepState[which], kRepMask)) ++which;
                pair = takeRecent(recentDelta, which);
            }
            const uint32_t length = decodeSlotValue<kLengthTableBits>(br, s.length, lengthSlots);
            const uint32_t power = static_cast<uint32_t>(pair >> 32);
            const uint64_t stride = uint64_t{1} << power;
            const uint64_t distance = (pair & 0xffffffffu) << power;
            if (distance + stride > pos || length > outSize - pos) return false;
            // Each byte continues the byte `stride` back by the step seen `distance` earlier.
            uint8_t* dst = out + pos;
            const uint8_t* src = dst - distance;
            const ptrdiff_t back = static_cast<ptrdiff_t>(stride);
            for (ptrdiff_t k = 0; k < static_cast<ptrdiff_t>(length); ++k) {
                dst[k] = static_cast<uint8_t>(src[k] + dst[k - back] - src[k - back]);
            }
            pos += length;
            newDelta = pair;
        }
        if (pendingLz != 0) pushRecent(recentLz, pendingLz);
        pendingLz = newLz;
        if (pendingDelta != 0) pushRecent(recentDelta, pendingDelta);
        pendingDelta = newDelta;
    }
    lzmsUndoX86(out, outSize, s.x86LastUse);
    return true;
}
