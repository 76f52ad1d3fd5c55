// The buffer-mode container of the Compression API for LZMS: a 24-byte header, then the blocks,
// each a 32-bit stored size and the bytes. A block stored with its unpacked size is kept raw;
// any other block is one independent LZMS stream.
//
// Header: magic 0A 51 E5 C0, u16 header size (24), a check byte (low byte of the CRC-32 of
// header bytes 0-5 and 7-23), the algorithm (5 = LZMS), u64 unpacked size, u64 block size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

inline constexpr size_t kLzmsHeaderSize = 24;
inline constexpr uint8_t kLzmsAlgorithm = 5;
inline constexpr uint64_t kLzmsMaxBlockSize = 64ull << 20;
// Nothing this program carries comes near it; it bounds what a damaged header can make us allocate.
inline constexpr uint64_t kLzmsMaxUnpackedSize = 1ull << 30;

struct LzmsBlock {
    size_t offset = 0;        // of the stored bytes, in the container
    size_t storedSize = 0;
    size_t unpackedSize = 0;
    bool raw() const { return storedSize == unpackedSize; }
};

struct LzmsContainer {
    uint64_t unpackedSize = 0;
    uint64_t blockSize = 0;
    size_t blockCount = 0;
};

// Reads and checks the header and the block records. False with a one-line English reason when
// anything is off; nothing is decoded yet. The records are walked, not kept: a container of
// many tiny blocks costs no memory.
bool readLzmsContainer(const uint8_t* data, size_t size, LzmsContainer& out, std::string& why);

// Calls visit for each block of a container that readLzmsContainer accepted, in order, until
// visit returns false. False when a visit did.
bool forEachLzmsBlock(const uint8_t* data, size_t size, const LzmsContainer& c,
                      const std::function<bool(const LzmsBlock&)>& visit);

// Decodes a whole container into out (resized to the unpacked size). False with a reason when
// the container or any block is damaged.
bool unpackLzms(const uint8_t* data, size_t size, std::vector<uint8_t>& out, std::string& why);

// The 24 header bytes for the given sizes, check byte included.
std::string lzmsHeader(uint64_t unpackedSize, uint64_t blockSize);
// One block record: its stored size and bytes.
void appendLzmsBlock(std::string& container, const uint8_t* stored, size_t storedSize);

