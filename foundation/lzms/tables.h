// Fixed tables of the LZMS format: offset and length slots.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr unsigned kLzmsMaxOffsetSlots = 799;
inline constexpr unsigned kLzmsLengthSlots = 54;

struct LzmsSlotTable {
    uint32_t base[kLzmsMaxOffsetSlots + 1] = {};
    uint8_t extraBits[kLzmsMaxOffsetSlots] = {};
};

// Slot k covers [base[k], base[k] + 2^extraBits[k]); the last slot runs up to base[count].
const LzmsSlotTable& lzmsOffsetSlots();
const LzmsSlotTable& lzmsLengthSlots();

// Number of offset slots a block of this many bytes uses: enough to reach offset size - 1.
unsigned lzmsOffsetSlotCount(size_t blockSize);
