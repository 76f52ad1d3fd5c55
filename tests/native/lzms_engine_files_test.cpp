// The decisions of unpacking the engine files, against a fake engine folder.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "foundation/lzms/crc32.h"
#include "tunnel/engine_files.h"

namespace {

struct FakeFolder {
    std::map<std::string, std::string> files;  // name -> content; "good" passes its check
    bool folderRefused = false;
    std::vector<std::string> calls;
    std::string lockedName;  // extracting this file fails
    std::string badCopyName;  // extracting this file gives a copy that fails its check again

    EngineFilesOps ops() {
        EngineFilesOps o;
        o.marker = kMarker;
        o.prepareFolder = [this] {
            calls.push_back("folder");
            return !folderRefused;
        };
        o.verify = [this](const EngineFile& f) {
            calls.push_back(std::string("check ") + f.name);
            return files[f.name] == "good";
        };
        o.stopLeftoverEngines = [this] { calls.push_back("stop engines"); };
        o.extract = [this](int id, const char* name) {
            calls.push_back("extract " + std::to_string(id) + " " + name);
            if (lockedName == name) return false;
            files[name] = badCopyName == name ? "bad" : "good";
            return true;
        };
        o.writeMarker = [this](const std::string& m) { calls.push_back("write marker " + m); };
        return o;
    }
    static inline const std::string kMarker = "1.2.2:4096:123456";
};

std::vector<std::string> concat(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Every file is checked before every start; one that fails is unpacked and checked once more.
TEST(EngineFilesDecisions, CheckAndUnpackOrder) {
    const std::vector<std::string> allGood = {"folder", "check xray-core.exe", "check sing-box.exe", "check wintun.dll"};
    const std::vector<std::string> redoXray = {"check xray-core.exe", "stop engines", "extract 101 xray-core.exe",
                                               "check xray-core.exe"};
    struct Row {
        const char* what;
        std::vector<std::string> good;
        bool folderRefused;
        std::string locked, badCopy;
        std::string result;
        std::vector<std::string> calls;
    };
    const std::vector<std::string> all = {"xray-core.exe", "sing-box.exe", "wintun.dll"};
    const Row rows[] = {
        {"all three check out: nothing unpacked, nothing stopped", all, false, "", "", "", allGood},
        {"first start", {}, false, "", "", "",
         {"folder", "check xray-core.exe", "stop engines", "extract 101 xray-core.exe", "check xray-core.exe",
          "check sing-box.exe", "extract 102 sing-box.exe", "check sing-box.exe", "check wintun.dll",
          "extract 103 wintun.dll", "check wintun.dll", "write marker " + FakeFolder::kMarker}},
        {"only sing-box.exe replaced: only it unpacked", {"xray-core.exe", "wintun.dll"}, false, "", "", "",
         {"folder", "check xray-core.exe", "check sing-box.exe", "stop engines", "extract 102 sing-box.exe",
          "check sing-box.exe", "check wintun.dll", "write marker " + FakeFolder::kMarker}},
        {"folder refused: nothing checked", all, true, "", "", "Не удалось распаковать xray-core.exe.", {"folder"}},
        {"second bad copy: the message, later files untried", {}, false, "", "xray-core.exe",
         "Не удалось распаковать xray-core.exe.", concat({"folder"}, redoXray)},
        {"xray-core.exe locked", {}, false, "xray-core.exe", "", "Не удалось распаковать xray-core.exe.",
         {"folder", "check xray-core.exe", "stop engines", "extract 101 xray-core.exe"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        FakeFolder f;
        for (const std::string& name : row.good) f.files[name] = "good";
        f.folderRefused = row.folderRefused;
        f.lockedName = row.locked;
        f.badCopyName = row.badCopy;
        EXPECT_EQ(ensureEngineFilesWith(f.ops()), row.result);
        EXPECT_EQ(f.calls, row.calls);
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

}  // namespace
