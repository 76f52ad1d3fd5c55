#include "tools/payload-pack/lzms_pack.h"

#include <wimlib.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <system_error>
#include <filesystem>
#include <vector>

#include "foundation/lzms/container.h"
#include "foundation/lzms/crc32.h"

namespace {

struct CompressorFree {
    void operator()(wimlib_compressor* c) const { wimlib_free_compressor(c); }
};

}  // namespace

bool packLzms(const uint8_t* data, size_t size, std::string& container, std::string& why, unsigned level) {
    container.clear();
    if (size > kLzmsMaxUnpackedSize) return why = "input too large", false;
    const size_t blockSize = size < kLzmsMaxBlockSize ? size : static_cast<size_t>(kLzmsMaxBlockSize);
    container = lzmsHeader(size, blockSize);
    if (size == 0) return true;

    wimlib_compressor* raw = nullptr;
    const int rc = wimlib_create_compressor(WIMLIB_COMPRESSION_TYPE_LZMS, blockSize, level, &raw);
    if (rc != 0) {
        return why = std::string("cannot create the LZMS compressor: ") +
                     wimlib_get_error_string(static_cast<wimlib_error_code>(rc)), false;
    }
    std::unique_ptr<wimlib_compressor, CompressorFree> compressor(raw);
    std::vector<uint8_t> packed(blockSize);
    for (size_t at = 0; at < size; at += blockSize) {
        const size_t n = size - at < blockSize ? size - at : blockSize;
        // Room for one byte less than the block: a result that does not shrink is stored raw,
        // which is also how the reader tells raw blocks apart.
        const size_t got = n > 1 ? wimlib_compress(data + at, n, packed.data(), n - 1, compressor.get()) : 0;
        if (got == 0) appendLzmsBlock(container, data + at, n);
        else appendLzmsBlock(container, packed.data(), got);
    }
    return true;
}

namespace {

bool writeReplacing(const std::string& path, const std::string& bytes, std::string& why) {
    const std::string temp = path + ".part";
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        out.close();
        if (!out) {
            std::remove(temp.c_str());
            return why = "cannot write " + path, false;
        }
    }
    std::error_code ec;
    std::filesystem::rename(temp, path, ec);
    if (ec) {
        std::remove(temp.c_str());
        return why = "cannot write " + path + ": " + ec.message(), false;
    }
    return true;
}

}  // namespace

bool packFile(const std::string& inPath, const std::string& outPath, std::string& why, const std::string& digestPath) {
    std::ifstream in(inPath, std::ios::binary);
    if (!in) return why = "cannot open " + inPath, false;
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) return why = "cannot read " + inPath, false;
    std::string container;
    if (!packLzms(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), container, why)) return false;

    if (!writeReplacing(outPath, container, why)) return false;
    if (digestPath.empty()) return true;
    return writeReplacing(digestPath, crc32Record(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()), why);
}
