#include "foundation/lzms/container.h"

#include <cstring>

#include "foundation/lzms/bytes.h"
#include "foundation/lzms/crc32.h"
#include "foundation/lzms/decoder.h"

namespace {

constexpr uint8_t kMagic[4] = {0x0A, 0x51, 0xE5, 0xC0};
constexpr size_t kCheckByte = 6;

void put(std::string& s, uint64_t v, int bytes) {
    for (int k = 0; k < bytes; ++k) s.push_back(static_cast<char>(v >> (8 * k)));
}

uint8_t headerCheck(const uint8_t* header) {
    uint32_t crc = crc32Update(0, header, kCheckByte);
    crc = crc32Update(crc, header + kCheckByte + 1, kLzmsHeaderSize - kCheckByte - 1);
    return static_cast<uint8_t>(crc);
}

}  // namespace

std::string lzmsHeader(uint64_t unpackedSize, uint64_t blockSize) {
    std::string h(reinterpret_cast<const char*>(kMagic), sizeof kMagic);
    put(h, kLzmsHeaderSize, 2);
    h.push_back('\0');
    h.push_back(static_cast<char>(kLzmsAlgorithm));
    put(h, unpackedSize, 8);
    put(h, blockSize, 8);
    h[kCheckByte] = static_cast<char>(headerCheck(reinterpret_cast<const uint8_t*>(h.data())));
    return h;
}

void appendLzmsBlock(std::string& container, const uint8_t* stored, size_t storedSize) {
    put(container, storedSize, 4);
    container.append(reinterpret_cast<const char*>(stored), storedSize);
}

bool readLzmsContainer(const uint8_t* data, size_t size, LzmsContainer& out, std::string& why) {
    out = LzmsContainer{};
    if (size < kLzmsHeaderSize) return why = "too short for the container header", false;
    if (std::memcmp(data, kMagic, sizeof kMagic) != 0) return why = "not an LZMS container (bad magic)", false;
    if (data[4] != kLzmsHeaderSize || data[5] != 0) return why = "unexpected header size", false;
    if (data[kCheckByte] != headerCheck(data)) return why = "header check byte does not match", false;
    if (data[7] != kLzmsAlgorithm) return why = "not LZMS (algorithm " + std::to_string(data[7]) + ")", false;
    out.unpackedSize = load64(data + 8);
    out.blockSize = load64(data + 16);
    if (out.unpackedSize > kLzmsMaxUnpackedSize) return why = "unpacked size too large", false;
    if (out.blockSize > kLzmsMaxBlockSize) return why = "block size too large", false;
    if (out.unpackedSize > 0 && out.blockSize == 0) return why = "block size is zero", false;

    size_t at = kLzmsHeaderSize;
    uint64_t left = out.unpackedSize;
    while (left > 0) {
        if (size - at < 4) return why = "truncated before a block", false;
        const size_t stored = load32(data + at);
        at += 4;
        if (stored > size - at) return why = "a block runs past the end", false;
        at += stored;
        left -= left < out.blockSize ? left : out.blockSize;
        ++out.blockCount;
    }
    if (at != size) return why = "data after the last block", false;
    return true;
}

bool forEachLzmsBlock(const uint8_t* data, size_t size, const LzmsContainer& c,
                      const std::function<bool(const LzmsBlock&)>& visit) {
    size_t at = kLzmsHeaderSize;
    uint64_t left = c.unpackedSize;
    while (left > 0 && size - at >= 4) {
        LzmsBlock b;
        b.storedSize = load32(data + at);
        b.offset = at + 4;
        b.unpackedSize = static_cast<size_t>(left < c.blockSize ? left : c.blockSize);
        if (b.storedSize > size - b.offset) return false;
        if (!visit(b)) return false;
        at = b.offset + b.storedSize;
        left -= b.unpackedSize;
    }
    return true;
}

bool unpackLzms(const uint8_t* data, size_t size, std::vector<uint8_t>& out, std::string& why) {
    out.clear();
    LzmsContainer c;
    if (!readLzmsContainer(data, size, c, why)) return false;
    out.resize(static_cast<size_t>(c.unpackedSize));
    LzmsDecoder decoder;
    size_t pos = 0, index = 0;
    const bool ok = forEachLzmsBlock(data, size, c, [&](const LzmsBlock& b) {
        if (b.raw()) {
            std::memcpy(out.data() + pos, data + b.offset, b.storedSize);
        } else if (!lzmsDecodeBlock(decoder, data + b.offset, b.storedSize, out.data() + pos, b.unpackedSize)) {
            why = "block " + std::to_string(index) + " is damaged";
            return false;
        }
        pos += b.unpackedSize;
        ++index;
        return true;
    });
    if (!ok) out.clear();
    return ok;
}
