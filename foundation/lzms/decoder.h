// Decoder for one LZMS stream: the compressed form of one block of the Compression API's
// LZMS container. Written for the engine payloads on platforms whose Compression API lacks
// the decompressor (Wine); it must restore exactly what the platform decoder would.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

struct LzmsDecoderState;  // tables and adaptive models, about 400 KiB; reused across blocks

struct LzmsDecoder {
    std::unique_ptr<LzmsDecoderState> state;
    LzmsDecoder();
    ~LzmsDecoder();
    LzmsDecoder(LzmsDecoder&&) noexcept;
    LzmsDecoder& operator=(LzmsDecoder&&) noexcept;
};

// Decodes one LZMS stream of inSize bytes into exactly outSize bytes at out. False when the
// stream is malformed (a match reaching before the block or past its end, an odd or too short
// stream); out then holds garbage. Never reads outside [in, in + inSize) or writes outside
// [out, out + outSize).
bool lzmsDecodeBlock(LzmsDecoder& decoder, const uint8_t* in, size_t inSize, uint8_t* out,
                     size_t outSize);
