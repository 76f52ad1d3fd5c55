// Decoding speed of our LZMS decoder against wimlib's on the same container, and peak memory.
// usage: lzms_bench pack FILE CONTAINER      packs FILE as the build packs payloads
//        lzms_bench decode CONTAINER FILE [ROUNDS]
// Decoding runs in its own process so that its peak memory is not the compressor's.
#include <wimlib.h>

#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tools/payload-pack/lzms_pack.h"
#include "foundation/lzms/container.h"

namespace {

double seconds(std::chrono::steady_clock::duration d) { return std::chrono::duration<double>(d).count(); }

// Processor time of this process: on a shared machine it is steadier than the wall clock.
double cpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + t.tv_nsec / 1e9;
}

long currentKiB() {
    long pages = 0, resident = 0;
    FILE* f = std::fopen("/proc/self/statm", "r");
    if (f) {
        if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
        std::fclose(f);
    }
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

long peakKiB() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_maxrss;
}

bool wimlibUnpack(const std::string& container, std::vector<uint8_t>& out, wimlib_decompressor* d) {
    LzmsContainer c;
    std::string why;
    const auto* data = reinterpret_cast<const uint8_t*>(container.data());
    if (!readLzmsContainer(data, container.size(), c, why)) return false;
    out.resize(c.unpackedSize);
    size_t pos = 0;
    return forEachLzmsBlock(data, container.size(), c, [&](const LzmsBlock& b) {
        if (b.raw()) std::memcpy(out.data() + pos, data + b.offset, b.storedSize);
        else if (wimlib_decompress(data + b.offset, b.storedSize, out.data() + pos, b.unpackedSize, d) != 0) return false;
        pos += b.unpackedSize;
        return true;
    });
}

std::string readAll(const char* path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

int pack(const char* inPath, const char* outPath) {
    const std::string original = readAll(inPath);
    std::string container, why;
    const auto t0 = std::chrono::steady_clock::now();
    if (original.empty() ||
        !packLzms(reinterpret_cast<const uint8_t*>(original.data()), original.size(), container, why)) {
        std::fprintf(stderr, "lzms_bench: cannot pack %s %s\n", inPath, why.c_str());
        return 1;
    }
    std::ofstream(outPath, std::ios::binary).write(container.data(), static_cast<std::streamsize>(container.size()));
    std::printf("input %s: %.1f MB -> %.1f MB packed in %.1f s (peak %ld KiB)\n", inPath, original.size() / 1e6,
                container.size() / 1e6, seconds(std::chrono::steady_clock::now() - t0), peakKiB());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 4 && std::strcmp(argv[1], "pack") == 0) return pack(argv[2], argv[3]);
    if (argc < 4 || std::strcmp(argv[1], "decode") != 0) {
        std::fprintf(stderr, "usage: lzms_bench pack FILE CONTAINER | decode CONTAINER FILE [ROUNDS]\n");
        return 2;
    }
    const int rounds = argc > 4 ? std::max(1, std::atoi(argv[4])) : 5;
    const std::string container = readAll(argv[2]);
    const std::string original = readAll(argv[3]);
    const double mb = original.size() / 1e6;
    const long baseline = currentKiB();
    std::string why;

    // Ours once alone, so that the peak memory of our decoding is measured before wimlib's
    // decompressor exists; then both in turn, so that a busy machine slows both alike.
    double ours = 1e30, theirs = 1e30;
    std::vector<uint8_t> out;
    auto runOurs = [&]() -> bool {
        out.clear();
        out.shrink_to_fit();
        const double t = cpuSeconds();
        if (!unpackLzms(reinterpret_cast<const uint8_t*>(container.data()), container.size(), out, why)) {
            std::fprintf(stderr, "lzms_bench: our decoder failed: %s\n", why.c_str());
            return false;
        }
        ours = std::min(ours, cpuSeconds() - t);
        if (out.size() != original.size() || std::memcmp(out.data(), original.data(), out.size()) != 0) {
            std::fprintf(stderr, "lzms_bench: our decoder restored different bytes\n");
            return false;
        }
        return true;
    };
    if (!runOurs()) return 1;
    const long oursPeak = peakKiB();

    wimlib_decompressor* d = nullptr;
    if (wimlib_create_decompressor(WIMLIB_COMPRESSION_TYPE_LZMS, kLzmsMaxBlockSize, &d) != 0) return 1;
    for (int r = 0; r < rounds; ++r) {
        out.clear();
        out.shrink_to_fit();
        const double t = cpuSeconds();
        if (!wimlibUnpack(container, out, d)) {
            std::fprintf(stderr, "lzms_bench: wimlib failed\n");
            return 1;
        }
        theirs = std::min(theirs, cpuSeconds() - t);
        if (!runOurs()) return 1;
    }
    wimlib_free_decompressor(d);
    const long theirsPeak = peakKiB();

    std::printf("ours:   %7.1f MB/s (processor time, best of %d)\n", mb / ours, rounds);
    std::printf("wimlib: %7.1f MB/s (processor time, best of %d)\n", mb / theirs, rounds);
    std::printf("ratio:  %.2f x wimlib\n", theirs / ours);
    std::printf("memory: %ld KiB resident with input and container loaded; peak %ld KiB after our decoding "
                "(output %zu KiB, so about %ld KiB beside it); peak %ld KiB after wimlib's\n",
                baseline, oursPeak, original.size() / 1024,
                oursPeak - baseline - static_cast<long>(original.size() / 1024), theirsPeak);
    return 0;
}
