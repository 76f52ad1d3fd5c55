// The portable parts of digests and signed answers: hex coding, the digest check, the nonce echo.
#include "foundation/crypto.h"

#include <gtest/gtest.h>

TEST(CryptoText, HexCoding) {
    EXPECT_EQ(toHex(std::string("\x00\xab", 2)), "00ab");
    EXPECT_EQ(toHex(""), "");
    EXPECT_EQ(toHex("\x0f\xf0\x7f\x80"), "0ff07f80");

    struct Row {
        const char* text;
        bool ok;
        std::string bytes;
    } rows[] = {
        {"00ab", true, std::string("\x00\xab", 2)},
        {"00AB", true, std::string("\x00\xab", 2)},
        {"", true, ""},
        {"abc", false, ""},   // odd length
        {"0g", false, ""},    // not a hex digit
        {"ab 0", false, ""},  // no spaces
    };
    for (const Row& row : rows) {
        std::string bytes = "stale";
        EXPECT_EQ(fromHex(row.text, bytes), row.ok) << row.text;
        EXPECT_EQ(bytes, row.bytes) << row.text;
    }
    std::string all;
    for (int i = 0; i < 256; ++i) all.push_back(static_cast<char>(i));
    std::string back;
    ASSERT_TRUE(fromHex(toHex(all), back));
    EXPECT_EQ(back, all);
}

TEST(CryptoText, DigestCheck) {
    const std::string lower = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
    std::string upper = lower;
    for (char& c : upper) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c);
    struct Row {
        std::string computed, announced;
        bool matches;
    } rows[] = {
        {lower, lower, true},
        {lower, upper, true},               // the service may announce upper case
        {lower, lower.substr(0, 63), false},
        {lower, lower + "0", false},
        {lower, "f" + lower.substr(1), false},
        {"", lower, false},                 // unreadable file
        {"", "", false},                    // and no digest announced: still no match
        {lower, "", false},
    };
    for (const Row& row : rows) EXPECT_EQ(digestMatches(row.computed, row.announced), row.matches) << row.announced;
}

TEST(CryptoText, DevelopmentKeySetting) {
    // The build's key setting must be a usable 64-byte point, or signatures could never verify.
    EXPECT_EQ(servicePublicKey().size(), kP256PublicKeyBytes);
}

TEST(CryptoText, NonceEcho) {
    const std::string nonce = "00112233445566778899aabbccddeeff";
    struct Row {
        const char* what;
        std::string body, sent;
        bool accepted;
    } rows[] = {
        {"echo", R"({"nonce":"00112233445566778899aabbccddeeff","webview2":{}})", nonce, true},
        {"echo with whitespace", " {\"nonce\" : \"00112233445566778899aabbccddeeff\"} ", nonce, true},
        {"earlier nonce", R"({"nonce":"ffeeddccbbaa99887766554433221100"})", nonce, false},
        {"upper case", R"({"nonce":"00112233445566778899AABBCCDDEEFF"})", nonce, false},
        {"prefix only", R"({"nonce":"00112233445566778899aabbccddeef"})", nonce, false},
        {"longer", R"({"nonce":"00112233445566778899aabbccddeeff0"})", nonce, false},
        {"missing", R"({"webview2":{}})", nonce, false},
        {"not a string", R"({"nonce":12})", nonce, false},
        {"not an object", R"(["00112233445566778899aabbccddeeff"])", nonce, false},
        {"not JSON", "this answer is not JSON", nonce, false},
        {"trailing garbage", R"({"nonce":"00112233445566778899aabbccddeeff"}x)", nonce, false},
        {"no nonce sent, none echoed", R"({"nonce":""})", "", false},
        {"no nonce sent, member missing", R"({})", "", false},
    };
    for (const Row& row : rows) {
        JsonValue answer;
        EXPECT_EQ(acceptSignedBody(row.body, row.sent, answer), row.accepted) << row.what;
        if (row.accepted) {
            EXPECT_EQ(answer.find("nonce").asText(), row.sent) << row.what;
        }
    }
}
