#include "foundation/lzms/x86.h"

#include <bit>
#include <cstring>
#include <initializer_list>

#include "foundation/lzms/bytes.h"

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#define LZMS_X86_SSE2 1
#endif

namespace {

// A translation is done only within this distance after a position that looked like code.
constexpr int32_t kMaxTranslationDistance = 1023;
// Two instructions aiming at the same address (low 16 bits) this close mark code.
constexpr int32_t kSameTargetWindow = 65535;
// Instructions starting in the last 16 bytes of a block are never translated.
constexpr size_t kUntranslatedTail = 16;

struct OpcodeBytes {
    bool candidate[256] = {};
    constexpr OpcodeBytes() {
        for (unsigned b : {0x48u, 0x4Cu, 0xE8u, 0xE9u, 0xF0u, 0xFFu}) candidate[b] = true;
    }
};
constexpr OpcodeBytes kOpcodes;

// The first position at or after p (and before limit) holding a byte that may start a
// translated instruction; limit when there is none.
size_t nextCandidate(const uint8_t* data, size_t p, size_t limit) {
#ifdef LZMS_X86_SSE2
    const __m128i c48 = _mm_set1_epi8(0x48), c4c = _mm_set1_epi8(0x4C), ce8 = _mm_set1_epi8(static_cast<char>(0xE8)),
                  ce9 = _mm_set1_epi8(static_cast<char>(0xE9)), cf0 = _mm_set1_epi8(static_cast<char>(0xF0)),
                  cff = _mm_set1_epi8(static_cast<char>(0xFF));
    while (p + 16 <= limit) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + p));
        const __m128i hit = _mm_or_si128(
            _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, c48), _mm_cmpeq_epi8(v, c4c)),
                         _mm_or_si128(_mm_cmpeq_epi8(v, ce8), _mm_cmpeq_epi8(v, ce9))),
            _mm_or_si128(_mm_cmpeq_epi8(v, cf0), _mm_cmpeq_epi8(v, cff)));
        const unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(hit));
        if (mask != 0) return p + static_cast<size_t>(std::countr_zero(mask));
        p += 16;
    }
#endif
    while (p < limit && !kOpcodes.candidate[data[p]]) ++p;
    return p;
}

}  // namespace

void lzmsUndoX86(uint8_t* data, size_t size, int32_t* lastUse) {
    if (size <= kUntranslatedTail + 1) return;
    for (size_t i = 0; i < kLzmsX86HistorySize; ++i) lastUse[i] = -kSameTargetWindow - 1;
    int32_t lastCode = -kMaxTranslationDistance - 1;
    const size_t limit = size - kUntranslatedTail;
    size_t p = 1;  // the block's first byte is never taken for an instruction
    for (;;) {
        p = nextCandidate(data, p, limit);
        if (p >= limit) break;
        unsigned opcodeLen = 0;
        int32_t maxDistance = kMaxTranslationDistance;
        const uint8_t b1 = data[p + 1], b2 = data[p + 2];
        switch (data[p]) {
        case 0x48:  // mov rax/rcx, [rip+d]; lea r, [rip+d]
            if ((b1 == 0x8B && (b2 == 0x05 || b2 == 0x0D)) || (b1 == 0x8D && (b2 & 7) == 5)) opcodeLen = 3;
            break;
        case 0x4C:  // lea r8-r15, [rip+d]
            if (b1 == 0x8D && (b2 & 7) == 5) opcodeLen = 3;
            break;
        case 0xE8:  // call rel32: translated only where code is more certain
            opcodeLen = 1;
            maxDistance /= 2;
            break;
        case 0xE9:  // jmp rel32: skipped, never translated
            p += 5;
            continue;
        case 0xF0:  // lock add [rip+d], imm8
            if (b1 == 0x83 && b2 == 0x05) opcodeLen = 3;
            break;
        case 0xFF:  // call [rip+d]
            if (b1 == 0x15) opcodeLen = 2;
            break;
        }
        if (opcodeLen == 0) {
            ++p;
            continue;
        }
        const int32_t at = static_cast<int32_t>(p);
        uint8_t* operand = data + p + opcodeLen;
        if (at - lastCode <= maxDistance) store32(operand, load32(operand) - static_cast<uint32_t>(at));
        const uint16_t target = static_cast<uint16_t>(at + (operand[0] | operand[1] << 8));
        const int32_t end = at + static_cast<int32_t>(opcodeLen) + 3;
        if (end - lastUse[target] <= kSameTargetWindow) lastCode = end;
        lastUse[target] = end;
        p += opcodeLen + 4;
    }
}
