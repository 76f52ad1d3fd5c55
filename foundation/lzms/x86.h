// The x86 translation of LZMS: the encoder turns the relative addresses of likely x86
// instructions (calls, RIP-relative loads) into absolute ones so that repeated targets become
// repeated bytes; the decoder turns them back after each block.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr size_t kLzmsX86HistorySize = 65536;

// Undoes the translation over one decoded block. lastUse is scratch of kLzmsX86HistorySize.
void lzmsUndoX86(uint8_t* data, size_t size, int32_t* lastUse);
