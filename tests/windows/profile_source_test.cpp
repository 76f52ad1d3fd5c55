// The profile source against the development service, run by scripts/test.d/40-service in a
// network namespace of its own, where api.velmorante.test is 127.0.0.2 and silent.velmorante.test
// 127.0.0.6 (a listener that never answers); the fallback address 127.0.0.1 answers too.
// VLM_SERVICE_DIR names the folder with ca.der and the service's request record (records.jsonl).
#include "control/profile_source.h"
#include "foundation/crypto.h"
#include "foundation/http.h"
#include "foundation/text.h"

#include "build_config.h"
#include "dev_service_support_win.h"
#include "test_support.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

const char* const kDevPublicKeyHex =
    "57476701ee878be81c07355f7c02a36ce929e8af2eafaa915b5c06561e3ea18e"
    "fd4a1e8d033f24f533ffa1fd0fd28b7e36317b64bf3c2576ac3c4e82f2a42768";
const char* const kHost = "api.velmorante.test";

// The authority is trusted only where the suite gives the service's folder.
::testing::Environment* const kTrust =
    serviceDir().empty() ? nullptr : ::testing::AddGlobalTestEnvironment(new TrustServiceAuthority);

// Requests the service recorded at this local address so far.
size_t recordsAt(const std::string& local) {
    const std::string records = readFileBytes(serviceDir() + "\\records.jsonl");
    const std::string needle = "\"local\":\"" + local + "\"";
    size_t n = 0;
    for (size_t at = records.find(needle); at != std::string::npos; at = records.find(needle, at + 1)) ++n;
    return n;
}

bool pollTake(ProfileSource& source, JsonValue& document) {
    for (int i = 0; i < 200; ++i) {
        if (source.take(document)) return true;
        Sleep(50);
    }
    return false;
}

bool verifyWithServiceKey(const SignedAnswer& a) {
    return verifyEcdsaP256(servicePublicKey(), a.body, base64Decode(a.signature));
}

// A stored file made from a raw answer of the service (which may be broken by the path's switches).
std::string storedFrom(const std::string& path, bool dropSignature = false) {
    const HttpResult r = postJson(kHost, path, "{\"nonce\":\"" + randomNonce() + "\"}");
    return encodeStoredAnswer({r.body, dropSignature ? std::string() : r.signature});
}

class ServiceProfileSource : public ::testing::Test {
protected:
    TempFolder dir;
    std::filesystem::path file() const { return dir.path / kStoredProfileFile; }
    ProfileSourceSettings settings(const std::string& path, const std::string& host = kHost) const {
        return {host, path, dir.path.wstring()};
    }
    void SetUp() override {
        if (serviceDir().empty()) GTEST_SKIP() << "needs the development service: scripts/test.d/41-profile-source";
        if (std::string(vlm::build::kServicePublicKeyHex) != kDevPublicKeyHex)
            GTEST_SKIP() << "the build does not carry the development service's key";
        ASSERT_FALSE(dir.path.empty());
    }
};

}  // namespace

TEST_F(ServiceProfileSource, FreshAnswers) {
    struct Row {
        const char* path;
        const char* reason;  // empty: accepted
    } rows[] = {
        {"/api/v1/profile", ""},
        {"/api/v1/profile?alter=1", "signature does not verify"},
        {"/api/v1/profile?badsig=1", "signature does not verify"},
        {"/api/v1/profile?siglen=63", "signature does not verify"},
        {"/api/v1/profile?replay=1", "answer is not JSON or does not echo the nonce"},
        {"/api/v1/profile?notjson=1", "answer is not JSON or does not echo the nonce"},
        {"/api/v1/profile?nosig=1", "no signed answer"},
    };
    for (const Row& row : rows) {
        JsonValue document;
        std::string reason = "stale";
        EXPECT_EQ(fetchProfileOnce(document, settings(row.path), &reason), *row.reason == '\0') << row.path;
        EXPECT_EQ(reason, row.reason) << row.path;
        if (*row.reason == '\0') {
            EXPECT_EQ(document.find("nonce").kind, JsonKind::Null);
            EXPECT_EQ(document.find("config").kind, JsonKind::Object);
        }
    }
    EXPECT_TRUE(std::filesystem::is_empty(dir.path));  // one request stores nothing
}

TEST_F(ServiceProfileSource, BadStoredAnswersAreIgnoredAndReplaced) {
    struct Row {
        const char* what;
        std::string bytes;
        const char* reason;
    } rows[] = {
        {"damaged", "{\"body\":\"{\\\"con", "damaged file"},
        {"unsigned", storedFrom(kProfileRequestPath, true), "unsigned"},
        {"signed by another key", storedFrom("/api/v1/profile?badsig=1"), "signature does not verify"},
        {"altered after signing", storedFrom("/api/v1/profile?alter=1"), "signature does not verify"},
    };
    for (const Row& row : rows) {
        JsonValue document;
        EXPECT_EQ(checkStoredAnswer(row.bytes, verifyWithServiceKey, document), row.reason) << row.what;
        ASSERT_TRUE(writeFileBytes(file(), row.bytes)) << row.what;
        // The stored answer is read before anything else, so once the worker has ended it was judged.
        ProfileWorker offline;
        ASSERT_TRUE(startProfileWorker(offline, settings("/api/v1/profile?nosig=1")));
        EXPECT_TRUE(stopProfileWorker(offline, 10000)) << row.what;
        EXPECT_FALSE(takeProfileDocument(*offline.state, document)) << row.what;

        ProfileWorker online;
        ASSERT_TRUE(startProfileWorker(online, settings(kProfileRequestPath)));
        ProfileSource source = profileSourceOf(online.state);
        EXPECT_TRUE(pollTake(source, document)) << row.what;
        EXPECT_TRUE(stopProfileWorker(online, 10000)) << row.what;
        JsonValue stored;
        EXPECT_EQ(checkStoredAnswer(readFileBytes(file()), verifyWithServiceKey, stored), "") << row.what;
        EXPECT_EQ(writeJson(stored), writeJson(document)) << row.what;
        EXPECT_FALSE(std::filesystem::exists(file().string() + ".tmp")) << row.what;
    }
}

TEST_F(ServiceProfileSource, TakeNeverWaitsForAHangingRequest) {
    ASSERT_TRUE(writeFileBytes(file(), storedFrom(kProfileRequestPath)));
    const size_t before = recordsAt("127.0.0.6");
    ProfileWorker worker;
    ASSERT_TRUE(startProfileWorker(worker, settings(kProfileRequestPath, "silent.velmorante.test")));
    ProfileSource source = profileSourceOf(worker.state);
    JsonValue document;
    EXPECT_TRUE(pollTake(source, document));  // the stored answer serves while no answer comes
    for (int i = 0; i < 200 && recordsAt("127.0.0.6") == before; ++i) Sleep(50);
    ASSERT_GT(recordsAt("127.0.0.6"), before) << "the request never reached the silent listener";

    // The request hangs for the 20 s receive time-out; take and the bounded join do not wait for
    // it (the bounds only tell a wait for the request from a slow machine).
    ULONGLONG start = GetTickCount64();
    EXPECT_FALSE(source.take(document));
    EXPECT_LT(GetTickCount64() - start, kReceiveTimeoutMs / 2);
    start = GetTickCount64();
    EXPECT_FALSE(stopProfileWorker(worker, 500));
    EXPECT_LT(GetTickCount64() - start, kReceiveTimeoutMs / 2);
}
