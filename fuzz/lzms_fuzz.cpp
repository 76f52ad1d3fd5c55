// libFuzzer target: the LZMS container reader and our decoder on arbitrary bytes. The input is
// tried as a whole container, and (header aside) as one raw LZMS stream decoded into a block
// whose size the first two bytes choose. Must never crash or touch memory it does not own.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "foundation/lzms/container.h"
#include "foundation/lzms/decoder.h"

namespace {
constexpr size_t kMaxFuzzOutput = 256u << 10;  // keeps a run fast; the logic does not depend on size
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    LzmsContainer c;
    std::string why;
    if (readLzmsContainer(data, size, c, why) && c.unpackedSize <= kMaxFuzzOutput) {
        std::vector<uint8_t> out;
        if (unpackLzms(data, size, out, why) && out.size() != c.unpackedSize) __builtin_trap();
    }
    if (size >= 2) {
        static LzmsDecoder decoder;
        const size_t outSize = 1 + ((size_t{data[0]} << 8 | data[1]) * 4) % kMaxFuzzOutput;
        std::vector<uint8_t> block(outSize);
        lzmsDecodeBlock(decoder, data + 2, size - 2, block.data(), block.size());
    }
    return 0;
}
