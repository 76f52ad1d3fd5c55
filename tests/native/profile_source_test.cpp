// The profile source's decisions against a fake service: which stored answers count, what is
// handed over and stored, the back-off. Real signatures, the real file and the worker thread are
// tested under Wine against the development service (tests/windows/profile_source_test.cpp).
#include "control/profile_source.h"

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace {

// The fake service's "signature": valid exactly for the body it was made for.
std::string sign(const std::string& body) { return "sig" + std::to_string(std::hash<std::string>{}(body)); }
std::string withNonce(const std::string& doc, const std::string& nonce) {
    return "{\"nonce\":\"" + nonce + "\"," + doc.substr(1);
}
std::string stored(const std::string& doc) {
    const std::string body = withNonce(doc, std::string(32, 'a'));
    return encodeStoredAnswer({body, sign(body)});
}
std::string canonical(const std::string& doc) {
    JsonValue v;
    parseJson(doc, v);
    return writeJson(v);
}

using Reply = std::function<bool(const std::string& nonce, SignedAnswer& answer)>;
Reply answering(std::string doc) {
    return [doc](const std::string& nonce, SignedAnswer& a) {
        a.body = withNonce(doc, nonce);
        a.signature = sign(a.body);
        return true;
    };
}
const Reply kOffline = [](const std::string&, SignedAnswer&) { return false; };

const std::string kDocA = R"({"config":{"mode":"system"},"note":"A"})";
const std::string kDocB = R"({"config":{"mode":"game"},"note":"B\n\"quoted\" ünïcode"})";

// Runs the worker on the test's thread; the fake wait stops it after as many waits as replies.
struct Harness {
    ProfileSourceState state;
    std::vector<Reply> replies;  // one per request
    std::optional<std::string> file;
    int writes = 0;
    std::vector<std::string> logs;
    std::vector<uint64_t> waits;
    std::function<void()> eachWait;

    ProfileSourceOps ops() {
        ProfileSourceOps o;
        o.service.newNonce = [this] { return std::string(31, '0') + static_cast<char>('a' + waits.size()); };
        o.service.post = [this](const std::string& request, SignedAnswer& a) {
            JsonValue r;
            return parseJson(request, r) && replies.at(waits.size())(r.find("nonce").asText(), a);
        };
        o.service.verify = [](const SignedAnswer& a) { return a.signature == sign(a.body); };
        o.stored.read = [this](std::string& bytes) {
            bytes = file.value_or("");
            return file.has_value();
        };
        o.stored.write = [this](const std::string& bytes) {
            file = bytes;
            ++writes;
            return true;
        };
        o.log = [this](const std::string& line) { logs.push_back(line); };
        o.wait = [this](uint64_t ms) {
            waits.push_back(ms);
            if (eachWait) eachWait();
            return waits.size() >= replies.size();
        };
        return o;
    }
    void run() { runProfileWorker(state, ops()); }
    std::string take() {
        JsonValue doc;
        return takeProfileDocument(state, doc) ? writeJson(doc) : "";
    }
};

}  // namespace

TEST(ProfileSource, StoredAnswerAtStart) {
    const std::string good = stored(kDocA);
    std::string altered = good;
    altered[altered.find("system")] = 'S';
    std::string atLimit = good;
    atLimit.insert(atLimit.size() - 1, std::string(kStoredProfileLimitBytes - good.size(), ' '));
    struct Row {
        const char* what;
        std::optional<std::string> file;
        Reply fresh;
        std::string handed;   // the document taken after the first request; empty: none
        const char* ignored;  // logged reason; nullptr: none
    } rows[] = {
        {"offline start", good, kOffline, canonical(kDocA), nullptr},
        {"file at the size limit", atLimit, kOffline, canonical(kDocA), nullptr},
        {"a fresh answer comes before the take", good, answering(kDocB), canonical(kDocB), nullptr},
        {"no file yet", std::nullopt, kOffline, "", nullptr},
        {"one byte over the limit", atLimit + " ", kOffline, "", "larger than 8388608 bytes"},
        {"cut short", good.substr(0, good.size() / 2), kOffline, "", "damaged file"},
        {"unsigned", encodeStoredAnswer({withNonce(kDocA, "n"), ""}), kOffline, "", "unsigned"},
        {"signed by another key", encodeStoredAnswer({withNonce(kDocA, "n"), "sig0"}), kOffline, "",
         "signature does not verify"},
        {"altered after signing", altered, kOffline, "", "signature does not verify"},
        {"signed, not an object", encodeStoredAnswer({"[1]", sign("[1]")}), kOffline, "",
         "answer is not a JSON object"},
    };
    for (const Row& row : rows) {
        Harness h;
        h.file = row.file;
        h.replies = {row.fresh};
        h.run();
        EXPECT_EQ(h.take(), row.handed) << row.what;  // without the nonce
        EXPECT_EQ(h.take(), "") << row.what;          // once only
        const std::string prefix = "stored profile ignored: ";
        const bool logged = !h.logs.empty() && h.logs[0].rfind(prefix, 0) == 0;
        EXPECT_EQ(logged ? h.logs[0].substr(prefix.size()) : "", row.ignored ? row.ignored : "") << row.what;
    }
}

TEST(ProfileSource, EachChangeHandedOverAndStoredOnce) {
    // A damaged stored answer, then: A, A again (a new nonce only), no connection, B.
    Harness h;
    h.file = "{\"body\":\"{";
    h.replies = {answering(kDocA), answering(kDocA), kOffline, answering(kDocB)};
    std::vector<std::string> taken;
    std::vector<int> writes;
    h.eachWait = [&] {
        taken.push_back(h.take());
        writes.push_back(h.writes);
    };
    h.run();
    EXPECT_EQ(taken, (std::vector<std::string>{canonical(kDocA), "", "", canonical(kDocB)}));
    EXPECT_EQ(writes, (std::vector<int>{1, 1, 1, 2}));
    JsonValue reread;  // the exact body survives the file: quotes, line breaks, UTF-8
    ASSERT_EQ(checkStoredAnswer(*h.file, h.ops().service.verify, reread), "");
    EXPECT_EQ(writeJson(reread), canonical(kDocB));
}

TEST(ProfileSource, AnswerArrivingAfterStopIsDropped) {
    Harness h;
    h.replies = {[&h](const std::string& nonce, SignedAnswer& a) {
        requestProfileStop(h.state);  // the program began its shutdown while the request ran
        return answering(kDocA)(nonce, a);
    }};
    h.run();
    EXPECT_EQ(h.take(), "");
    EXPECT_EQ(h.writes, 0);
    EXPECT_TRUE(h.waits.empty());
}

TEST(ProfileSource, BackOffIsBounded) {
    Harness h;
    h.replies.assign(7, kOffline);
    h.replies.push_back(answering(kDocA));
    h.replies.push_back(kOffline);
    h.run();
    std::vector<uint64_t> expected;
    for (uint64_t s : {15, 30, 60, 120, 240, 300, 300, 300, 15}) expected.push_back(s * 1000);
    EXPECT_EQ(h.waits, expected);
    EXPECT_EQ(profileRetryDelayMs(UINT32_MAX), kProfileMaxRetryMs);
}
