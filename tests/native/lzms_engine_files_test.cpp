// The decisions of unpacking the engine files, against a fake engine folder.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "foundation/lzms/crc32.h"
#include "tunnel/engine_files.h"

namespace {

struct FakeFolder {
    std::map<std::string, std::string> files;  // name -> content
    std::string marker;
    bool markerPresent = false;
    std::vector<std::string> calls;
    std::string lockedName;  // extracting this file fails

    EngineFilesOps ops(const std::string& expected) {
        EngineFilesOps o;
        o.expectedMarker = expected;
        o.readMarker = [this] {
            calls.push_back("read marker");
            return markerPresent ? marker : std::string();
        };
        o.present = [this](const char* name) {
            calls.push_back(std::string("check ") + name);
            return files.count(name) > 0;
        };
        o.stopLeftoverEngines = [this] { calls.push_back("stop engines"); };
        o.extract = [this](int id, const char* name) {
            calls.push_back("extract " + std::to_string(id) + " " + name);
            if (lockedName == name) return false;
            files[name] = "unpacked";
            return true;
        };
        o.writeMarker = [this](const std::string& m) {
            calls.push_back("write marker " + m);
            marker = m;
            markerPresent = true;
        };
        return o;
    }
};

const std::string kMarker = "1.2.2:4096:123456";
const std::vector<std::string> kFullUnpack = {
    "stop engines", "extract 101 xray-core.exe", "extract 102 sing-box.exe", "extract 103 wintun.dll",
    "write marker " + kMarker};

std::vector<std::string> concat(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

TEST(EngineFilesDecisions, CheckAndUnpackOrder) {
    const std::vector<std::string> allChecks = {"read marker", "check xray-core.exe", "check sing-box.exe",
                                                "check wintun.dll"};
    struct Row {
        const char* what;
        std::vector<std::string> files;
        bool markerPresent;
        std::string marker;
        std::string locked;
        std::string result;
        std::vector<std::string> calls;
    };
    const std::vector<std::string> all = {"xray-core.exe", "sing-box.exe", "wintun.dll"};
    const Row rows[] = {
        {"first start", {}, false, "", "", "", concat({"read marker", "check xray-core.exe"}, kFullUnpack)},
        {"all present, marker matches", all, true, kMarker, "", "", allChecks},
        {"marker matches, sing-box.exe missing: checks stop there", {"xray-core.exe", "wintun.dll"}, true, kMarker, "", "",
         concat({"read marker", "check xray-core.exe", "check sing-box.exe"}, kFullUnpack)},
        {"marker with a line end appended", all, true, kMarker + "\n", "", "", concat(allChecks, kFullUnpack)},
        {"marker of another size", all, true, "1.2.2:4097:123456", "", "", concat(allChecks, kFullUnpack)},
        {"marker cut short", all, true, "1.2.2:4096:12345", "", "", concat(allChecks, kFullUnpack)},
        {"empty marker file", all, true, "", "", "", concat(allChecks, kFullUnpack)},
        {"sing-box.exe locked", all, false, "", "sing-box.exe", "Не удалось распаковать sing-box.exe.",
         concat(allChecks, {"stop engines", "extract 101 xray-core.exe", "extract 102 sing-box.exe"})},
        {"xray-core.exe locked", all, false, "", "xray-core.exe", "Не удалось распаковать xray-core.exe.",
         concat(allChecks, {"stop engines", "extract 101 xray-core.exe"})},
        {"wintun.dll fails", all, false, "", "wintun.dll", "Не удалось распаковать wintun.dll.",
         concat(allChecks, {"stop engines", "extract 101 xray-core.exe", "extract 102 sing-box.exe",
                            "extract 103 wintun.dll"})},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        FakeFolder f;
        for (const std::string& name : row.files) f.files[name] = "old";
        f.markerPresent = row.markerPresent;
        f.marker = row.marker;
        f.lockedName = row.locked;
        EXPECT_EQ(ensureEngineFilesWith(f.ops(kMarker)), row.result);
        EXPECT_EQ(f.calls, row.calls);
        if (!row.result.empty()) {
            EXPECT_EQ(f.marker, row.marker);  // untouched after a failure
        }
    }
}

TEST(EngineFilesDecisions, DigestRecord) {
    const std::string data = "123456789";
    const auto* bytes = reinterpret_cast<const uint8_t*>(data.data());
    const std::string record = crc32Record(bytes, data.size());
    EXPECT_EQ(record, std::string("\x26\x39\xf4\xcb", 4));  // CRC-32 check value 0xCBF43926
    struct Row {
        const char* what;
        std::string data, record;
        bool match;
    };
    const Row rows[] = {
        {"as recorded", data, record, true},
        {"one byte changed", "123456788", record, false},
        {"one byte more", data + "0", record, false},
        {"record cut short", data, record.substr(0, 3), false},
        {"record too long", data, record + "x", false},
        {"empty data", "", crc32Record(nullptr, 0), true},
    };
    for (const Row& r : rows) {
        EXPECT_EQ(engineDigestMatches(reinterpret_cast<const uint8_t*>(r.data.data()), r.data.size(),
                                      reinterpret_cast<const uint8_t*>(r.record.data()), r.record.size()),
                  r.match)
            << r.what;
    }
    // The eight-bytes-a-step CRC agrees with the byte-wise one at every length and alignment.
    std::string big;
    for (int i = 0; i < 100; ++i) big.push_back(static_cast<char>(i * 37));
    for (size_t start = 0; start < 8; ++start) {
        for (size_t n = 0; n + start <= big.size(); n += 3) {
            const auto* p = reinterpret_cast<const uint8_t*>(big.data()) + start;
            uint32_t oneByOne = 0;
            for (size_t k = 0; k < n; ++k) oneByOne = crc32Update(oneByOne, p + k, 1);
            ASSERT_EQ(crc32Update(0, p, n), oneByOne) << start << " " << n;
        }
    }
}

TEST(EngineFilesDecisions, MarkerText) {
    EXPECT_EQ(engineMarker("1.2.2", 0, 0), "1.2.2:0:0");
    EXPECT_EQ(engineMarker("1.2.2", 4294967295u, 3000000000u), "1.2.2:4294967295:3000000000");
}

TEST(EngineFilesDecisions, OnlyTheFirst128BytesOfAMarkerCount) {
    // A marker of exactly 128 bytes followed by more text reads as the bare 128 bytes.
    const std::string expected(kEngineMarkerReadLimit, '7');
    FakeFolder f;
    for (const char* n : {"xray-core.exe", "sing-box.exe", "wintun.dll"}) f.files[n] = "old";
    f.markerPresent = true;
    f.marker = expected + "tail";
    EXPECT_EQ(ensureEngineFilesWith(f.ops(expected)), "");
    EXPECT_EQ(f.calls.size(), 4u);  // nothing unpacked
}

}  // namespace
