// Our LZMS decoder and the container: buffers made by Windows itself, the header rules, damaged
// and truncated input, and the prefix-code construction both sides must share.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "foundation/lzms/container.h"
#include "foundation/lzms/crc32.h"
#include "foundation/lzms/decoder.h"
#include "foundation/lzms/huffman.h"

namespace {

struct Fixture {
    const char* name;
    size_t rawSize;
    uint32_t rawCrc;
    const char* hex;
};

// The buffers Windows' Compress made (LZMS, buffer mode), with the size and CRC-32 of their
// originals.
const Fixture kWindowsFixtures[] = {
    {"english", 1600, 0xd3b90dfbu,
     "0a51e5c0180084054006000000000000400600000000000092000000040045f76bb5fad9526f5603787a98310000ea39"
     "dbb9e4b165a0b21e32b9303dabd795f42686b1ba6cab8830667361726215089d591899a62c8fedcc2d0dafca01b97b43"
     "aa90e6ceac53726f75716955915b999ea553a59981543b69771651a594d7661d854181b89cbd9181e4e985b1593e7420"
     "7265766f2073706d756a20786f66206e776f7262206b6369757120656854"
    },
    {"pattern", 8192, 0xe9e32547u,
     "0a51e5c01800590500200000000000000020000000000000120000003813d0bf0000d074817ebebafecaefbeadde"
    },
    {"random", 2048, 0x547d2660u,
     "0a51e5c01800bb0500080000000000000008000000000000000800003e17ba96ae04cd3b99869e56f0adbf3a6fb74d25"
     "55175dcc6e8b0914579ab036cfd6280bb3c707dbaef270dc9505096e676be7f10d46d827baed2722fbb9e4fed667871a"
     "85b386a8af727663a7813769819aadebb3bf2989fd0051c69fe4e0f50e71052d7eefe9b3e53e429bcf758038b5bea060"
     "0bf84a173efd1d8462c009ca918154357b0aea92b1fa06747c8eb987801810e04480ea1527eeee80d26451253577094e"
     "204bbdabd40dae11f2d59ab044950349af288611963f0d8c1b69c04ca8e03f05846b67345a650c36d1d82251543e3c3c"
     "6007750cf1f8b7e03d31906a4d61681296942bd82dcfef4a1c503fbe1dbc37dc2c83eba16a32148bb486f728d5a1e870"
     "6f0fbac013640f91182bf0a0b9f8c281fab33ec975c7a764809f23a7d7c6757a67ce4e0e0177c9c8745a883f4173d2bb"
     "c3762e21631ffaa868563f734067ba52b67539eaaab47f82ea75551b3e68220dcd67e36197531748d4a5a5aa3755870c"
     "9f3688cb39e8110ff6ab36edcadf6a003432a6d98458ba625ef116040fd44b95ee487b07df56d3e456d46aeb1c297df4"
     "3ba57605aeae88467b256d47d20cff2260a1fe82636220dd5ec182afeece46347321c96a5d45e640bf348bb9e98b124a"
     "d4488b7a2afb90d98499a7ec2cd858acdf38d4b04395c41bbbbec22fd667f4d2af37dba643cb097790efe5c49df914e6"
     "dcdfd9b0b761073e836fbf6c3961021da5d53df4fdb169142f5c2053af007ec2aadc53f78d431a4d309c23d30c9d3e2e"
     "ecc81fc7bb1fe92a75c5815b41b48f83f1fcc25d0e0b8f61bbefc4618e9508921df166e6e1b6068af32981c7c2bf0c7b"
     "0d9fe20fdae120e138bd0ccc5b889be0bcef3d4f4da8a13bf6386ae58ac79efce24853efb3f9b73cd185ad23aa3a2e6b"
     "8da00bd381bd2e64fda719a2773a56711e0fe91234ac2dc337007dc8fa7e90bb09ff57e9bccb7a251aeff10bdf14c496"
     "2e3c059a501c36e172479b8040656a7f165d9978e36cb45395c4f845bb21e3223be699bd78f66bedc87577752ff9e5b4"
     "8471f5827b4cb3c188b2058b23f1265163794459ccac0620f2abb06df53f239bdf43c0492c61a6ef32d735c6f1dfc9d6"
     "4f2511b6b48be8d86ad490d09c46cc498e69ace031dd2402d25526f477402f12e2d91ecf2d6de6545be7df57d1d653ec"
     "0beb388733e9a472000ee35f64f4612aa57deec228fc1b208258844afdcd31fb023ae88b07a7def834acce1f8987ef67"
     "85b4b153e890c30fd01705db645a7433dde85d290bd622fe9ff58d7c2dfc97fb681dc4481bde137177d9baf0a20393da"
     "379b42a129c55baf92b3b4f20247e1d480097246962b17ffd4ebb2311b325b9b61b34492baf5d2a3c114b6682a206e2f"
     "f8e66f98904d430c8342cc3d122a935f5718914e024f1a8b37cf848174aed5b47d833835c3c20b1470370e7728949097"
     "805711118e1f2ca9cce461c0c8c198d46d18c08ff15e9c940d7cdecb40a362a23fed001c9dc3255d568f68de614a4cae"
     "9f390910d300a521bb7c04124161682882be81dac17b37aaf2633961f6bd33c230302b079951ce3e47de6120bf131cf4"
     "273f5ca2c871ed24025f1e70c7432bfe4941e21036618f30f04392e21916ebde47443ab66090fabe4307043a335e7703"
     "b363d77d310bbec6b02cb285df0a0aec733f298209759db84724cd2e5c54fc91cb8f2fb63e6dad3b86740534de74df38"
     "fc18c6f334f5fa3dc61e360d3d8f695c2f20b94fdb53ad0692edfc947068dad2459531438d085dd694f1f02037a0fdf6"
     "0aa905bdbb8f5ca96bc06147f966cd5d4464c8a85d26ce26c3e3bbe9638dcff1ef0589c7621c17b53888d7cda716dd2e"
     "2492dcd3d85598e4dadffad7d37246def06f57f3dc06fb274c126fd44e017ead058dc5d0b1fc199a6ca5ec82213fe1c6"
     "42f9dc37bee9511e96b486c5e5c395d9604dd246ad752df455bd86371979060d30a992542447ee1b3ba639fc7654b5a8"
     "0f1321d36c9b18cdcce8e101631a051dae78953b3140b4195fb60b073b307e0108dd27065832a09591c5883c66edb821"
     "a01c4efdbf7977cf5e0874b69010919c69dff985f3fec57bd8ffa96cb878b371fee9661fe180428e6658a850bdea0580"
     "34ecd286f4332ea157d225bfd00b16e55403b8a6aa71bae89d6a1e9a5675beedfa2938cca52c7dcabbc4c80e5b83be5b"
     "41c2fbba325fd6c231eae98914934be11437c4a7d24a402885edebe6a8ac8c19acc259947a04bb9b52759bbb43f4b527"
     "79e6fa24be1788f681d2344573f019855dcfdc5239b6670f7b29545daf85e59137c36cc1b1685a953a6212a7cf762762"
     "5b165d731763edc27feaa995c22b47fceda30db08357d3f5744718d7a3c0400401f10199277179d3d5aa42c7bfc5d20e"
     "1a16b92c6876df034268fed04b161ebeaaa494d129aed47c2a3adbd9150b36af7409bc8d06139b8a12fe56bf72a887be"
     "8b841d1a3001e46c423d012e9b06ee37324f5c425a91b7960809bf2b58140981b21c4d90ee1b7e7324504ac9116def0c"
     "0f1e8d234c4564f9cc86122741b9132e33807c7eb85d4917d0e81d0947ee849b1ab31b3986e6356cb854c4670857326b"
     "3d1c9591f07053b2d5765263275bb2dd02770c8e9dd9a74d4a0fc66398e10e78b6b2cc2b58f3aaa95f69641093d1445d"
     "a2e664914aa3ce63754846e0a9f019f367d9ad758e87850fcc622e347596b979ca69c1b17d7d2e12e468b510acc9ff6f"
     "4f70a8ba24cfce1b6155c4e77599eede8fcd16402f6776eaab9a9125d174620263bfe404edff55fb9ba55027b8469d4a"
     "7ad780dfb3bf40e8fabd0e893da84aecf2c284b5b5e9f090771aa589174f3265fd47aaf9f4834fa37ffc0a30f0ccbef2"
     "5b6334f6c1e79490e6f06799"
    },
    {"sequential", 1024, 0xb70b4c26u,
     "0a51e5c018002b05000400000000000000040000000000000e000000426bd0ff0000a08ad95a1a020100"
    },
    {"single_byte", 16384, 0x964ac3acu,
     "0a51e5c018005f05004000000000000000400000000000000a000000ffaad0ff0000a0ba4141"
    },
    {"small", 64, 0xd324a7d4u,
     "0a51e5c018004c05400000000000000040000000000000000e000000036bd066000000601506c60e0700"
    },
    {"zeros", 4096, 0xc71c0011u,
     "0a51e5c01800da05001000000000000000100000000000000a000000ffaad0ff0000a03a4000"
    },
};

std::vector<uint8_t> fromHex(const char* hex) {
    std::vector<uint8_t> out;
    auto nibble = [](char c) { return c <= '9' ? c - '0' : c - 'a' + 10; };
    for (const char* p = hex; p[0] && p[1]; p += 2) out.push_back(static_cast<uint8_t>(nibble(p[0]) << 4 | nibble(p[1])));
    return out;
}

std::vector<uint8_t> bytesOf(const std::string& s) { return std::vector<uint8_t>(s.begin(), s.end()); }

bool unpack(const std::vector<uint8_t>& c, std::vector<uint8_t>& out, std::string& why) {
    return unpackLzms(c.data(), c.size(), out, why);
}

TEST(LzmsWindowsFixtures, DecodeToTheirOriginals) {
    for (const Fixture& f : kWindowsFixtures) {
        SCOPED_TRACE(f.name);
        const std::vector<uint8_t> c = fromHex(f.hex);
        std::vector<uint8_t> out;
        std::string why;
        ASSERT_TRUE(unpack(c, out, why)) << why;
        ASSERT_EQ(out.size(), f.rawSize);
        EXPECT_EQ(crc32Update(0, out.data(), out.size()), f.rawCrc);
        // Our header writer produces Windows' header byte for byte, check byte included.
        EXPECT_EQ(lzmsHeader(f.rawSize, f.rawSize), std::string(c.begin(), c.begin() + 24));
    }
}

TEST(LzmsContainer, HeaderRules) {
    const std::vector<uint8_t> good = fromHex(kWindowsFixtures[0].hex);  // one compressed block
    struct Row {
        const char* what;
        std::vector<uint8_t> bytes;
        const char* why;  // empty: accepted
    };
    auto edit = [&](size_t at, uint8_t v) {
        std::vector<uint8_t> b = good;
        b[at] = v;
        return b;
    };
    auto withHeader = [&](uint64_t unpacked, uint64_t block, const std::string& rest) {
        return bytesOf(lzmsHeader(unpacked, block) + rest);
    };
    auto otherAlgorithm = [&](uint8_t algorithm) {  // a header whose check byte is right
        std::vector<uint8_t> b = good;
        b[7] = algorithm;
        uint32_t crc = crc32Update(0, b.data(), 6);
        crc = crc32Update(crc, b.data() + 7, 17);
        b[6] = static_cast<uint8_t>(crc);
        return b;
    };
    auto record = [](const std::string& stored) {
        std::string r;
        appendLzmsBlock(r, reinterpret_cast<const uint8_t*>(stored.data()), stored.size());
        return r;
    };
    const Row rows[] = {
        {"as made", good, ""},
        {"bad magic", edit(1, 0x52), "not an LZMS container (bad magic)"},
        {"header size 25", edit(4, 25), "unexpected header size"},
        {"check byte off by one", edit(6, static_cast<uint8_t>(good[6] + 1)), "header check byte does not match"},
        {"unpacked size changed under the check byte", edit(8, 0x41), "header check byte does not match"},
        {"short header", std::vector<uint8_t>(good.begin(), good.begin() + 23), "too short for the container header"},
        {"block cut short", std::vector<uint8_t>(good.begin(), good.end() - 1), "a block runs past the end"},
        {"no block record", std::vector<uint8_t>(good.begin(), good.begin() + 26), "truncated before a block"},
        {"bytes after the last block", [&] { auto b = good; b.push_back(0); return b; }(), "data after the last block"},
        {"algorithm 4 (LZX)", otherAlgorithm(4), "not LZMS (algorithm 4)"},
        {"empty", withHeader(0, 0, ""), ""},
        {"raw blocks adding up", withHeader(10, 4, record("abcd") + record("efgh") + record("ij")), ""},
        {"raw blocks one short", withHeader(10, 4, record("abcd") + record("efgh")), "truncated before a block"},
        {"block size zero", withHeader(4, 0, record("abcd")), "block size is zero"},
        {"block size at 64 MiB", withHeader(4, 64u << 20, record("abcd")), ""},
        {"block size past 64 MiB", withHeader(4, (64u << 20) + 1, record("abcd")), "block size too large"},
        {"unpacked size at the cap", withHeader(kLzmsMaxUnpackedSize, 64u << 20, ""), "truncated before a block"},
        {"unpacked size past the cap", withHeader(kLzmsMaxUnpackedSize + 1, 64u << 20, ""), "unpacked size too large"},
        {"stored size past the end", withHeader(4, 4, std::string("\xff\xff\xff\xff", 4) + "abcd"),
         "a block runs past the end"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        LzmsContainer c;
        std::string why;
        EXPECT_EQ(readLzmsContainer(row.bytes.data(), row.bytes.size(), c, why), *row.why == 0);
        EXPECT_EQ(why, row.why);
    }
}

TEST(LzmsContainer, RawBlocksAreCopied) {
    std::string c = lzmsHeader(10, 4);
    for (std::string part : {"abcd", "efgh", "ij"}) {
        appendLzmsBlock(c, reinterpret_cast<const uint8_t*>(part.data()), part.size());
    }
    std::vector<uint8_t> out;
    std::string why;
    ASSERT_TRUE(unpack(bytesOf(c), out, why)) << why;
    EXPECT_EQ(std::string(out.begin(), out.end()), "abcdefghij");
}

// Damaged input of every kind must fail or decode, but never read or write out of bounds (the
// sanitizer builds run this) and never report garbage as a block of another size.
TEST(LzmsDecoder, DamagedAndTruncatedStreams) {
    int refused = 0, runs = 0;
    for (const Fixture& f : kWindowsFixtures) {
        const std::vector<uint8_t> good = fromHex(f.hex);
        std::vector<uint8_t> out;
        std::string why;
        for (size_t cut = 0; cut < good.size(); cut += 1 + good.size() / 64) {
            const std::vector<uint8_t> shorter(good.begin(), good.begin() + cut);
            EXPECT_FALSE(unpack(shorter, out, why)) << f.name << " cut at " << cut;
            EXPECT_TRUE(out.empty());
        }
        for (size_t at = 28; at < good.size(); ++at) {
            for (uint8_t flip : {0x01, 0x80, 0xff}) {
                std::vector<uint8_t> bad = good;
                bad[at] ^= flip;
                ++runs;
                if (!unpack(bad, out, why)) ++refused;
                else EXPECT_EQ(out.size(), f.rawSize);
            }
        }
    }
    EXPECT_GT(runs, 0);
    RecordProperty("refused", refused);

    // Streams decoded straight into blocks of chosen sizes: odd and tiny streams are refused,
    // and a stream of zeros or ones either decodes or is refused, within bounds.
    LzmsDecoder decoder;
    std::vector<uint8_t> block(70000);
    struct Row {
        std::vector<uint8_t> stream;
        size_t outSize;
        bool ok;
    };
    const Row rows[] = {
        {{}, 1, false},
        {{0, 0}, 1, false},
        {{0, 0, 0}, 1, false},
        {{0, 0, 0, 0, 0}, 1, false},  // odd
    };
    for (const Row& r : rows) EXPECT_EQ(lzmsDecodeBlock(decoder, r.stream.data(), r.stream.size(), block.data(), r.outSize), r.ok);
    for (uint8_t fill : {0x00, 0xff, 0x55}) {
        for (size_t n : {4u, 6u, 64u, 4096u}) {
            const std::vector<uint8_t> stream(n, fill);
            for (size_t outSize : {1u, 2u, 3u, 17u, 18u, 1000u, 70000u}) {
                lzmsDecodeBlock(decoder, stream.data(), stream.size(), block.data(), outSize);
            }
        }
    }
}

TEST(LzmsHuffman, CodeLengthsAreCompleteAndLimited) {
    struct Row {
        const char* what;
        std::vector<uint32_t> freqs;
    };
    std::vector<uint32_t> fibonacci = {1, 1};
    while (fibonacci.size() < 30) fibonacci.push_back(fibonacci[fibonacci.size() - 1] + fibonacci[fibonacci.size() - 2]);
    std::vector<uint32_t> skewed(799, 1);
    skewed[0] = 60000;
    skewed[1] = 30000;
    const Row rows[] = {
        {"two symbols", {1, 1}},
        {"all equal", std::vector<uint32_t>(256, 1)},
        {"fibonacci, deeper than 15 unlimited", fibonacci},
        {"799 symbols, two heavy", skewed},
        {"equal weights break ties the same way", {3, 3, 3, 3, 2, 2, 1, 1}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        std::vector<uint8_t> lens(row.freqs.size());
        lzmsCodeLengths(row.freqs.data(), static_cast<unsigned>(row.freqs.size()), 15, lens.data());
        uint64_t kraft = 0;  // in units of 2^-15: a complete code sums to exactly 2^15
        for (size_t s = 0; s < lens.size(); ++s) {
            ASSERT_GE(lens[s], 1);
            ASSERT_LE(lens[s], 15);
            kraft += uint64_t{1} << (15 - lens[s]);
            // A rarer symbol never gets a shorter codeword.
            for (size_t t = 0; t < lens.size(); ++t) {
                if (row.freqs[s] < row.freqs[t]) {
                    EXPECT_GE(lens[s], lens[t]);
                }
            }
        }
        EXPECT_EQ(kraft, uint64_t{1} << 15);
    }
    // Equal frequencies: the lower symbols take the longer codewords when lengths must differ.
    std::vector<uint32_t> three = {1, 1, 1};
    uint8_t lens[3];
    lzmsCodeLengths(three.data(), 3, 15, lens);
    EXPECT_EQ(lens[0], 2);
    EXPECT_EQ(lens[1], 2);
    EXPECT_EQ(lens[2], 1);
}

}  // namespace
