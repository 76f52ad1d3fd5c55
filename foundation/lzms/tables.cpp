#include "foundation/lzms/tables.h"

#include <bit>

namespace {

// The slot bases grow by 1, 2, 4, 8, ... and the format only states how many consecutive slots
// share each growth step; the last slot reaches up to a fixed end value.
constexpr LzmsSlotTable expandRuns(const uint8_t* runs, size_t runCount, uint32_t endValue,
                                   unsigned slotCount) {
    LzmsSlotTable t{};
    uint32_t base = 0;
    unsigned slot = 0;
    for (size_t r = 0; r < runCount; ++r) {
        for (unsigned k = 0; k < runs[r]; ++k) {
            base += uint32_t{1} << r;
            t.base[slot++] = base;
        }
    }
    t.base[slot] = endValue;
    for (unsigned s = 0; s < slotCount; ++s) {
        t.extraBits[s] = static_cast<uint8_t>(std::bit_width(t.base[s + 1] - t.base[s]) - 1);
    }
    return t;
}

constexpr uint8_t kOffsetRuns[] = {9,  0,  9,  7,  10, 15, 15, 20, 20, 30, 33,
                                   40, 42, 45, 60, 73, 80, 85, 95, 105, 6};
constexpr uint8_t kLengthRuns[] = {27, 4, 6, 4, 5, 2, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 1};

constexpr LzmsSlotTable kOffsetTable =
    expandRuns(kOffsetRuns, sizeof kOffsetRuns, 0x7fffffff, kLzmsMaxOffsetSlots);
constexpr LzmsSlotTable kLengthTable =
    expandRuns(kLengthRuns, sizeof kLengthRuns, 0x400108ab, kLzmsLengthSlots);

}  // namespace

const LzmsSlotTable& lzmsOffsetSlots() { return kOffsetTable; }
const LzmsSlotTable& lzmsLengthSlots() { return kLengthTable; }

unsigned lzmsOffsetSlotCount(size_t blockSize) {
    if (blockSize < 2) return 0;
    const uint64_t largest = blockSize - 1;
    unsigned lo = 0, hi = kLzmsMaxOffsetSlots;  // the slot holding `largest`: last base <= it
    while (hi - lo > 1) {
        const unsigned mid = (lo + hi) / 2;
        if (kOffsetTable.base[mid] <= largest) lo = mid; else hi = mid;
    }
    return lo + 1;
}
