// The HTTP client and signed answers against the development service. Runs inside the network
// namespace that scripts/test.d/40-service makes, where these names resolve:
//   api.velmorante.test 127.0.0.2 · fallback.velmorante.test 127.0.0.1 · down.velmorante.test 127.0.0.3
//   (nothing listens) · wrongcert.velmorante.test 127.0.0.5 · silent.velmorante.test 127.0.0.6
//   mute.velmorante.test 127.0.0.7
// and the service listens on port 443 of 127.0.0.1 and 127.0.0.2 (its own certificate), 127.0.0.5
// (a certificate for another host), 127.0.0.6 (never answers a request) and 127.0.0.7 (accepts
// connections and never starts TLS), and plain TCP on port 80 of 127.0.0.2 (only records
// connections). The fallback address is 127.0.0.1.
// VLM_SERVICE_DIR names the folder with ca.der and the service's request record (records.jsonl).
#include "foundation/crypto.h"
#include "foundation/http.h"
#include "foundation/text.h"

#include "build_config.h"
#include "dev_service_support_win.h"
#include "test_support.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

namespace {

const char* const kDevPublicKeyHex =
    "57476701ee878be81c07355f7c02a36ce929e8af2eafaa915b5c06561e3ea18e"
    "fd4a1e8d033f24f533ffa1fd0fd28b7e36317b64bf3c2576ac3c4e82f2a42768";

struct Record {
    int seq = 0;
    std::string local, method, path, host, agent, contentType;
};

std::vector<Record> readRecords() {
    std::vector<Record> records;
    std::ifstream in(serviceDir() + "\\records.jsonl", std::ios::binary);
    std::string line;
    while (std::getline(in, line)) {
        JsonValue v;
        if (!parseJson(line, v)) continue;
        records.push_back({static_cast<int>(v.find("seq").asNumber(0)), v.find("local").asText(),
                           v.find("method").asText(), v.find("path").asText(), v.find("host").asText(),
                           v.find("agent").asText(), v.find("contentType").asText()});
    }
    return records;
}

// The requests the service received since the mark.
struct RecordMark {
    size_t start = readRecords().size();
    std::vector<Record> since() const {
        std::vector<Record> all = readRecords();
        return std::vector<Record>(all.begin() + static_cast<std::ptrdiff_t>(std::min(start, all.size())), all.end());
    }
};

std::string locals(const std::vector<Record>& records) {
    std::string text;
    for (const Record& r : records) text += (text.empty() ? "" : " ") + r.local;
    return text;
}

std::string patternBytes(size_t n) {
    std::string bytes(n, '\0');
    for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<char>((i * 7 + (i >> 8)) & 0xff);
    return bytes;
}

// Client connections of this network namespace to the given remote address that are still
// established (Linux's /proc/net/tcp through Wine's Z: drive); -1 when the table cannot be read.
int establishedConnectionsTo(const std::string& remote) {
    std::istringstream table(readFileBytes("Z:\\proc\\net\\tcp"));
    std::string line;
    if (!std::getline(table, line)) return -1;  // the header
    int n = 0;
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, local, peer, state;
        fields >> slot >> local >> peer >> state;
        if (peer == remote && state == "01") ++n;
    }
    return n;
}

// gtest owns and runs it around all tests.
::testing::Environment* const kTrust =
    serviceDir().empty() ? nullptr : ::testing::AddGlobalTestEnvironment(new TrustServiceAuthority);

class ServiceHttp : public ::testing::Test {
protected:
    void SetUp() override {
        if (serviceDir().empty()) GTEST_SKIP() << "needs the development service: scripts/test.d/40-service";
        if (fallbackAddresses() != std::vector<std::string>{"127.0.0.1"})
            GTEST_SKIP() << "the build's fallback address is not the development one";
    }
    bool developmentKey() const { return std::string(vlm::build::kServicePublicKeyHex) == kDevPublicKeyHex; }
};

}  // namespace

TEST_F(ServiceHttp, ResolveAddresses) {
    struct Row {
        const char* host;
        std::vector<std::string> addresses;
    } rows[] = {
        {"api.velmorante.test", {"127.0.0.1", "127.0.0.2"}},
        {"fallback.velmorante.test", {"127.0.0.1"}},  // resolves to the fallback: listed once
        {"nowhere.velmorante.test", {"127.0.0.1"}},   // does not resolve: the fallback alone
    };
    for (const Row& row : rows) EXPECT_EQ(resolveAddresses(row.host), row.addresses) << row.host;
}

TEST_F(ServiceHttp, WorkingHostNameIsTheOnlyTarget) {
    RecordMark mark;
    const HttpResult r = postJson("api.velmorante.test", "/api/v1/prereq", R"({"nonce":"n1"})");
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.status, 200u);
    EXPECT_FALSE(r.signature.empty());
    const std::vector<Record> got = mark.since();
    ASSERT_EQ(got.size(), 1u) << locals(got);
    EXPECT_EQ(got[0].local, "127.0.0.2");
    EXPECT_EQ(got[0].method, "POST");
    EXPECT_EQ(got[0].host, "api.velmorante.test");
    EXPECT_EQ(got[0].agent, "VELMORANTE/1.2.2");
    EXPECT_EQ(got[0].contentType, "application/json");
}

TEST_F(ServiceHttp, AddressTargetsFollowAFailedHostName) {
    struct Row {
        const char* what;
        const char* host;
        const char* path;
        const char* locals;
    } rows[] = {
        {"host name answers unsigned", "api.velmorante.test", "/api/v1/prereq?nosig=1&only=127.0.0.2",
         "127.0.0.2 127.0.0.1"},
        // The certificate names this host only as a subject alternative name, in other letter case.
        {"host name refused", "down.velmorante.test", "/api/v1/prereq", "127.0.0.1"},
    };
    for (const Row& row : rows) {
        RecordMark mark;
        const HttpResult r = postJson(row.host, row.path, "{}");
        EXPECT_TRUE(r.ok) << row.what;
        const std::vector<Record> got = mark.since();
        EXPECT_EQ(locals(got), row.locals) << row.what;
        ASSERT_FALSE(got.empty()) << row.what;
        EXPECT_EQ(got.back().host, row.host) << row.what;  // the address target sends the real name
        JsonValue body;
        ASSERT_TRUE(parseJson(r.body, body)) << row.what;
        EXPECT_EQ(body.find("served").find("local").asText(), "127.0.0.1") << row.what;
    }
}

TEST_F(ServiceHttp, CertificateWithoutTheHostNameIsNeverAccepted) {
    // Every target presents a certificate without "wrongcert.velmorante.test": the host name's own
    // (rejected by the platform), the fallback's and the resolved address's (rejected by the name
    // check, although 127.0.0.5 answers with a valid signature). Windows does not even send those
    // requests; Wine does, so only the outcome is checked.
    const HttpResult r = postJson("wrongcert.velmorante.test", "/api/v1/prereq", "{}");
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.status, 0u);
    EXPECT_TRUE(r.body.empty());
    EXPECT_TRUE(r.signature.empty());
}

TEST_F(ServiceHttp, UnsignedAnswersTryEveryTarget) {
    struct Row {
        const char* path;
        uint32_t status;
    } rows[] = {
        {"/api/v1/prereq?nosig=1", 200},
        {"/api/v1/prereq?nosig=1&status=503", 503},
    };
    for (const Row& row : rows) {
        RecordMark mark;
        const HttpResult r = postJson("api.velmorante.test", row.path, "{}");
        EXPECT_FALSE(r.ok) << row.path;
        EXPECT_EQ(r.status, row.status) << row.path;
        EXPECT_TRUE(r.signature.empty()) << row.path;
        const std::vector<Record> got = mark.since();
        ASSERT_EQ(locals(got), "127.0.0.2 127.0.0.1 127.0.0.2") << row.path;
        JsonValue body;  // the body is the last answer's
        ASSERT_TRUE(parseJson(r.body, body)) << row.path;
        EXPECT_EQ(body.find("served").find("seq").asNumber(0), got.back().seq) << row.path;
    }
}

TEST_F(ServiceHttp, AnswerBodyIsCapped) {
    // Reading stops once the body exceeds 1 MiB; the chunk that crossed the limit is kept.
    const HttpResult exact = postJson("api.velmorante.test", "/api/v1/prereq?bodysize=1048576", "{}");
    EXPECT_TRUE(exact.ok);
    EXPECT_EQ(exact.body.size(), kPostBodyLimitBytes);
    JsonValue parsed;
    EXPECT_TRUE(parseJson(exact.body, parsed));

    const HttpResult large = postJson("api.velmorante.test", "/api/v1/prereq?bodysize=3145728", "{}");
    EXPECT_TRUE(large.ok);
    EXPECT_GT(large.body.size(), kPostBodyLimitBytes);
    EXPECT_LE(large.body.size(), kPostBodyLimitBytes + kDownloadBufferBytes);
}

TEST_F(ServiceHttp, SilentServerIsGivenUpAndItsConnectionClosed) {
    // A shortened receive time-out ends the wait for the silent host name; the client closes that
    // connection and the fallback address answers.
    const HttpTimeouts shortened{2000, 2000, 2000, 2000};
    struct Row {
        const char* host;
        const char* locals;
        const char* remote;  // as /proc/net/tcp writes 127.0.0.x:443
    } rows[] = {
        {"silent.velmorante.test", "127.0.0.6 127.0.0.1", "0600007F:01BB"},  // TLS, then no answer
        {"mute.velmorante.test", "127.0.0.7 127.0.0.1", "0700007F:01BB"},    // not even the TLS handshake
    };
    for (const Row& row : rows) {
        RecordMark mark;
        const ULONGLONG start = GetTickCount64();
        const HttpResult r = postJson(row.host, "/api/v1/prereq", "{}", shortened);
        EXPECT_LT(GetTickCount64() - start, kReceiveTimeoutMs) << row.host << ": the given time-out was not used";
        EXPECT_TRUE(r.ok) << row.host;
        EXPECT_EQ(locals(mark.since()), row.locals) << row.host;
        int open = -1;
        for (int i = 0; i < 50 && (open = establishedConnectionsTo(row.remote)) != 0; ++i) Sleep(100);
        EXPECT_EQ(open, 0) << row.host << ": the abandoned connection is left open";
    }
}

TEST_F(ServiceHttp, Downloads) {
    TempFolder dir;
    ASSERT_FALSE(dir.path.empty());
    struct Row {
        const char* what;
        const wchar_t* url;
        bool ok;
        size_t size;         // of the file afterwards (when ok)
        bool progress;       // progress reported
        size_t requests;     // requests the service saw
    } rows[] = {
        {"complete", L"https://api.velmorante.test/data/300000", true, 300000, true, 1},
        {"no Content-Length", L"https://api.velmorante.test/data/5000?nolength=1", true, 5000, false, 1},
        {"empty file", L"https://api.velmorante.test/data/0", true, 0, false, 1},
        {"999 of 1000 bytes", L"https://api.velmorante.test/data/1000?truncate=999", false, 0, true, 3},
        {"not found", L"https://api.velmorante.test/data/10?status=404", false, 0, false, 3},
        // A plain listener on port 80 of 127.0.0.2 records every connection made to it.
        {"plain http", L"http://api.velmorante.test/data/10", false, 0, false, 0},
        {"not a URL", L"api.velmorante.test/data/10", false, 0, false, 0},
        {"empty", L"", false, 0, false, 0},
        {"line break in the host", L"https://api.velmorante.test\r\nX-Injected: 1/data/10", false, 0, false, 0},
    };
    int index = 0;
    for (const Row& row : rows) {
        const auto file = dir.path / ("download" + std::to_string(index++) + ".bin");
        RecordMark mark;
        std::vector<double> reported;
        const bool ok = httpDownload(row.url, file.wstring(), [&reported](double f) { reported.push_back(f); });
        EXPECT_EQ(ok, row.ok) << row.what;
        EXPECT_EQ(mark.since().size(), row.requests) << row.what;
        EXPECT_EQ(!reported.empty(), row.progress) << row.what;
        for (size_t i = 1; i < reported.size(); ++i) EXPECT_GE(reported[i], reported[i - 1]) << row.what;
        if (row.requests == 0) {
            EXPECT_FALSE(std::filesystem::exists(file)) << row.what;
        }
        if (row.ok) {
            EXPECT_EQ(readFileBytes(file), patternBytes(row.size)) << row.what;
            if (row.progress) {
                EXPECT_EQ(reported.back(), 1.0) << row.what;
            }
        }
    }
}

TEST_F(ServiceHttp, SignedAnswers) {
    if (!developmentKey()) GTEST_SKIP() << "the build does not carry the development service's key";
    struct Row {
        const char* what;
        const char* path;
        bool valid;
    } rows[] = {
        {"signed, nonce echoed", "/api/v1/prereq", true},
        {"the status code does not decide", "/api/v1/prereq?status=500", true},
        {"no signature", "/api/v1/prereq?nosig=1", false},
        {"signed with another key", "/api/v1/prereq?badsig=1", false},
        {"63-byte signature", "/api/v1/prereq?siglen=63", false},
        {"65-byte signature", "/api/v1/prereq?siglen=65", false},
        {"body altered after signing", "/api/v1/prereq?alter=1", false},
        {"nonce of an earlier request", "/api/v1/prereq?replay=1", false},
        {"signed body that is not JSON", "/api/v1/prereq?notjson=1", false},
    };
    for (const Row& row : rows) {
        JsonValue answer(JsonKind::Object);
        answer["stale"] = "left from before";
        const bool ok = fetchSignedAnswer("api.velmorante.test", row.path, JsonValue(JsonKind::Object), answer);
        EXPECT_EQ(ok, row.valid) << row.what;
        if (ok) {
            EXPECT_EQ(answer.find("nonce").asText().size(), 32u) << row.what;
            EXPECT_EQ(answer.find("stale").kind, JsonKind::Null) << row.what;
        }
    }
}

TEST_F(ServiceHttp, InstallerOfferDownloadsAndMatchesItsDigest) {
    if (!developmentKey()) GTEST_SKIP() << "the build does not carry the development service's key";
    JsonValue answer;
    ASSERT_TRUE(fetchSignedAnswer("api.velmorante.test", "/api/v1/prereq?upperdigest=1", JsonValue(JsonKind::Object),
                                  answer));
    const std::string url = answer.find("webview2").find("url").asText();
    const std::string digest = answer.find("webview2").find("sha256").asText();
    ASSERT_EQ(digest.size(), 64u);
    EXPECT_EQ(digest.find_first_of("abcdef"), std::string::npos) << "announced in upper case";

    TempFolder dir;
    const auto file = dir.path / "setup.exe";
    ASSERT_TRUE(httpDownload(utf8ToWide(url), file.wstring(), nullptr)) << url;
    EXPECT_TRUE(digestMatches(sha256FileHex(file.wstring()), digest));
    std::string other = digest;
    other[0] = other[0] == 'A' ? 'B' : 'A';
    EXPECT_FALSE(digestMatches(sha256FileHex(file.wstring()), other));
}

