// Digests, Base64, nonces and the signature check on CNG and CryptoAPI (no network).
#include "foundation/crypto.h"

#include "test_support.h"

#include <gtest/gtest.h>

#include <set>

namespace {

std::string bytesFromHex(const std::string& hex) {
    std::string bytes;
    EXPECT_TRUE(fromHex(hex, bytes)) << hex;
    return bytes;
}

std::string patternBytes(size_t n) {
    std::string bytes(n, '\0');
    for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<char>((i * 7 + (i >> 8)) & 0xff);
    return bytes;
}

// A key, message and signature made with OpenSSL (r||s, 64 bytes).
const char* const kKeyHex =
    "c317148713945d331bb77084c0e5dccce6d905c853c55a5cdf94a0402a081903"
    "97eca60436fe46fd3b8b60aff5f1f80bb716ac703db4348fb98c5af910eacec2";
const char* const kMessage = "{\"nonce\":\"00112233445566778899aabbccddeeff\",\"note\":\"signed\"}";
const char* const kSignatureBase64 =
    "FG7S2iYlw73XIoT0+kd3Iu2RraBsKiudAcxJgOnanJBEV/KK5VB6YVEZuGhCjo9mX/zCigpoqsz7Uo50JaMHSA==";

}  // namespace

TEST(CngDigest, KnownValuesAndFiles) {
    EXPECT_EQ(toHex(sha256("")), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(toHex(sha256("abc")), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");

    TempFolder dir;
    ASSERT_FALSE(dir.path.empty());
    struct Row {
        const char* name;
        size_t size;
    } rows[] = {
        {"empty.bin", 0},
        {"one.bin", 1},
        {"chunk.bin", 65536},         // exactly one read buffer
        {"chunks.bin", 3 * 65536 + 17},  // several reads and a short last one
    };
    for (const Row& row : rows) {
        const auto file = dir.path / row.name;
        const std::string bytes = patternBytes(row.size);
        ASSERT_TRUE(writeFileBytes(file, bytes));
        EXPECT_EQ(sha256FileHex(file.wstring()), toHex(sha256(bytes))) << row.name;
    }
    EXPECT_EQ(sha256FileHex((dir.path / "empty.bin").wstring()),
              "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(sha256FileHex((dir.path / "missing.bin").wstring()), "");
    // The check against an announced digest: upper case is the same digest, a missing file never matches.
    EXPECT_TRUE(digestMatches(sha256FileHex((dir.path / "empty.bin").wstring()),
                              "E3B0C44298FC1C149AFBF4C8996FB92427AE41E4649B934CA495991B7852B855"));
    EXPECT_FALSE(digestMatches(sha256FileHex((dir.path / "missing.bin").wstring()), ""));
}

TEST(CngDigest, Base64Decode) {
    struct Row {
        std::string text;
        std::string bytes;
    } rows[] = {
        {"AAECAw==", std::string("\x00\x01\x02\x03", 4)},
        {"q83v", "\xab\xcd\xef"},
        {"", ""},
        {"!!!!", ""},  // not Base64 at all
    };
    for (const Row& row : rows) EXPECT_EQ(base64Decode(row.text), row.bytes) << row.text;
    EXPECT_EQ(base64Decode(kSignatureBase64).size(), 64u);
}

TEST(CngDigest, NoncesAreFreshLowercaseHex) {
    std::set<std::string> seen;
    for (int i = 0; i < 8; ++i) {
        const std::string nonce = randomNonce();
        ASSERT_EQ(nonce.size(), 32u);
        EXPECT_EQ(nonce.find_first_not_of("0123456789abcdef"), std::string::npos) << nonce;
        seen.insert(nonce);
    }
    EXPECT_EQ(seen.size(), 8u);
}

TEST(CngDigest, EcdsaP256Verification) {
    const std::string key = bytesFromHex(kKeyHex);
    const std::string signature = base64Decode(kSignatureBase64);
    ASSERT_EQ(signature.size(), 64u);
    std::string flipped = signature;
    flipped[10] ^= 0x01;
    std::string alteredMessage = kMessage;
    alteredMessage[alteredMessage.size() - 3] = 'e';  // "signed" -> "signee"
    std::string notOnCurve = key;
    notOnCurve[63] ^= 0x01;

    struct Row {
        const char* what;
        std::string key, message, signature;
        bool valid;
    } rows[] = {
        {"the signed message", key, kMessage, signature, true},
        {"one byte of the message changed", key, alteredMessage, signature, false},
        {"one byte of the signature changed", key, kMessage, flipped, false},
        {"63-byte signature", key, kMessage, signature.substr(0, 63), false},
        {"65-byte signature", key, kMessage, signature + "A", false},
        {"empty signature", key, kMessage, "", false},
        {"63-byte key", key.substr(0, 63), kMessage, signature, false},
        {"empty key", "", kMessage, signature, false},
        {"key not on the curve", notOnCurve, kMessage, signature, false},
        {"the service's key did not sign it", servicePublicKey(), kMessage, signature, false},
    };
    for (const Row& row : rows) EXPECT_EQ(verifyEcdsaP256(row.key, row.message, row.signature), row.valid) << row.what;
}
