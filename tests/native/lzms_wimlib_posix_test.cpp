// Round trips: wimlib's LZMS compressor packs (as the build does), our decoder restores. Large
// real x86-64 executables exercise long matches, delta matches, code rebuilds and the x86
// filter; the synthetic inputs aim at the corners. Inputs are made at test time.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "tools/payload-pack/lzms_pack.h"
#include "foundation/lzms/container.h"

namespace {

std::string readFile(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// Packs with wimlib and decodes with ours; returns "" or what went wrong.
std::string roundTrip(const std::string& original, unsigned level = kPackDefaultLevel, size_t* blocks = nullptr) {
    std::string container, why;
    if (!packLzms(reinterpret_cast<const uint8_t*>(original.data()), original.size(), container, why, level)) {
        return "pack failed: " + why;
    }
    LzmsContainer c;
    if (!readLzmsContainer(reinterpret_cast<const uint8_t*>(container.data()), container.size(), c, why)) {
        return "container refused: " + why;
    }
    if (blocks) *blocks = c.blockCount;
    std::vector<uint8_t> out;
    if (!unpackLzms(reinterpret_cast<const uint8_t*>(container.data()), container.size(), out, why)) {
        return "decode failed: " + why;
    }
    if (out.size() != original.size()) return "size differs";
    for (size_t i = 0; i < out.size(); ++i) {
        if (out[i] != static_cast<uint8_t>(original[i])) return "first difference at byte " + std::to_string(i);
    }
    return "";
}

std::string randomBytes(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    std::string s(n, '\0');
    for (char& c : s) c = static_cast<char>(rng());
    return s;
}

std::string text(size_t n, uint32_t seed) {
    static const char* const words[] = {"tunnel", "engine", "the", "server", "адаптер", "route", "of", "and",
                                        "connect", "probe", "a", "profile", "json", "{\"port\":", "1080}", "\n"};
    std::mt19937 rng(seed);
    std::string s;
    while (s.size() < n) {
        s += words[rng() % 16];
        s += ' ';
    }
    s.resize(n);
    return s;
}

// Tables of counters and sampled waves: the kind of data delta matches exist for.
std::string deltaFriendly(size_t n) {
    std::string s;
    uint32_t counter = 1000;
    for (size_t i = 0; s.size() < n; ++i) {
        if ((i / 4096) % 2 == 0) {
            counter += 12;
            s.append(reinterpret_cast<const char*>(&counter), 4);
        } else {
            const int16_t left = static_cast<int16_t>(8000.0 * __builtin_sin(i * 0.01));
            const int16_t right = static_cast<int16_t>(left / 2 + static_cast<int16_t>(i & 3));
            s.append(reinterpret_cast<const char*>(&left), 2);
            s.append(reinterpret_cast<const char*>(&right), 2);
        }
    }
    s.resize(n);
    return s;
}

// Calls and RIP-relative loads that aim at a few targets, so the filter sees code at once;
// instructions land on every position near the end of the block.
std::string x86Calls(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    std::string s;
    const uint8_t forms[][3] = {{0xE8, 0, 0}, {0xFF, 0x15, 0}, {0x48, 0x8B, 0x05}, {0x48, 0x8D, 0x0D},
                                {0x4C, 0x8D, 0x25}, {0xF0, 0x83, 0x05}, {0xE9, 0, 0}, {0x48, 0x8B, 0x0D}};
    const unsigned formLen[] = {1, 2, 3, 3, 3, 3, 1, 3};
    while (s.size() < n) {
        const unsigned f = rng() % 8;
        s.append(reinterpret_cast<const char*>(forms[f]), formLen[f]);
        const uint32_t target = static_cast<uint32_t>(0x4000 + (rng() % 4) * 16) - static_cast<uint32_t>(s.size());
        s.append(reinterpret_cast<const char*>(&target), 4);
        s.append(rng() % 3, static_cast<char>(rng() % 2 ? 0x90 : 0xE8));
    }
    s.resize(n);
    return s;
}

std::vector<std::filesystem::path> wineDlls() {
    std::vector<std::filesystem::path> found;
    std::error_code ec;
    for (const char* dir : {"/usr/lib/x86_64-linux-gnu/wine/x86_64-windows", "/usr/lib/wine/x86_64-windows"}) {
        for (const auto& e : std::filesystem::directory_iterator(dir, ec)) {
            if (e.path().extension() == ".dll") found.push_back(e.path());
        }
        if (!found.empty()) break;
    }
    std::sort(found.begin(), found.end());
    return found;
}

TEST(LzmsWimlibRoundTrip, SmallAndSyntheticInputs) {
    struct Row {
        std::string what;
        std::string data;
    };
    std::vector<Row> rows;
    for (size_t n : {0u, 1u, 2u, 3u, 4u, 16u, 17u, 18u, 19u, 33u, 100u}) {
        rows.push_back({"zeros " + std::to_string(n), std::string(n, '\0')});
        rows.push_back({"text " + std::to_string(n), text(n, 7)});
        rows.push_back({"calls " + std::to_string(n), x86Calls(n, static_cast<uint32_t>(n))});
    }
    // This row used to fail: an instruction at the block's first byte is not one for the filter.
    rows.push_back({"same target from byte 0", std::string("\x4c\x8d\x25\xfd\x3f\0\0\x4c\x8d\x25\xf6\x3f\0\0"
                                                       "\x4c\x8d\x25\xef\x3f\0\0\x4c\x8d\x25\xe8\x3f\0\0", 28) +
                                               std::string(64, '\0')});
    for (size_t n = 1000; n < 1040; ++n) rows.push_back({"calls near the end " + std::to_string(n), x86Calls(n, 99)});
    rows.push_back({"zeros 3 MB", std::string(3u << 20, '\0')});
    rows.push_back({"random 1 MB (stored raw)", randomBytes(1u << 20, 1)});
    rows.push_back({"text 3 MB", text(3u << 20, 2)});
    rows.push_back({"counters and waves 3 MB", deltaFriendly(3u << 20)});
    rows.push_back({"calls 2 MB", x86Calls(2u << 20, 3)});
    std::string mixed = text(1u << 20, 4) + randomBytes(256u << 10, 5) + deltaFriendly(1u << 20) + x86Calls(1u << 20, 6);
    mixed += mixed.substr(100000, 900000);  // a long match far back
    rows.push_back({"mixed", mixed});
    for (const Row& row : rows) EXPECT_EQ(roundTrip(row.data), "") << row.what;
}

TEST(LzmsWimlibRoundTrip, RealExecutables) {
    // Wine's own Windows DLLs (x86-64, tens of MB together) and, when the Windows build exists,
    // our mingw-built executables.
    std::string dlls;
    for (const auto& p : wineDlls()) {
        if (dlls.size() > (24u << 20)) break;
        const std::string bytes = readFile(p);
        if (bytes.size() < (8u << 20)) dlls += bytes;  // many different small and medium ones
    }
    ASSERT_GT(dlls.size(), 10u << 20) << "Wine's Windows DLLs are missing (Debian package wine64)";
    EXPECT_EQ(roundTrip(dlls, 20), "") << "Wine DLLs, " << dlls.size() << " bytes";

    std::string ours;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(VLM_SOURCE_DIR "/build/windows", ec)) {
        if (e.path().extension() == ".exe" && ours.size() < (16u << 20)) ours += readFile(e.path());
    }
    if (!ours.empty()) {
        EXPECT_EQ(roundTrip(ours, 20), "") << "mingw executables, " << ours.size() << " bytes";
    }
}

TEST(LzmsWimlibRoundTrip, MultiBlockOver64MiB) {
    // Two blocks: 64 MiB and the rest. Made of executable code and text so it is real work,
    // cheaply compressed at a low effort.
    std::string data;
    const std::vector<std::filesystem::path> dlls = wineDlls();
    for (const auto& p : dlls) {
        if (data.size() > (40u << 20)) break;
        data += readFile(p);
    }
    while (data.size() < (64u << 20) + (1u << 20) + 123) data += text(4u << 20, static_cast<uint32_t>(data.size()));
    data.resize((64u << 20) + (1u << 20) + 123);
    size_t blocks = 0;
    EXPECT_EQ(roundTrip(data, 1, &blocks), "");
    EXPECT_EQ(blocks, 2u);
}

}  // namespace
