// Digests, hexadecimal and Base64 codings, nonces and the service's signed answers.
// Byte strings are std::string. Nothing here throws or logs: failures are false or empty values.
#pragma once

#include "foundation/json.h"

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

inline constexpr size_t kSha256Bytes = 32;
inline constexpr size_t kNonceBytes = 16;
inline constexpr size_t kP256PublicKeyBytes = 64;  // X then Y, each 32 bytes big-endian
inline constexpr size_t kP256SignatureBytes = 64;  // r then s, each 32 bytes big-endian

// Portable (crypto.cpp).

// Lowercase, two characters a byte, high nibble first.
std::string toHex(std::string_view bytes);
// Hex text of either case into bytes; false on an odd length or any other character.
bool fromHex(std::string_view text, std::string& bytes);
// The check of a downloaded file against the digest the service announced: case-insensitive.
// An empty computed digest (unreadable file) or an empty announcement never matches.
bool digestMatches(std::string_view computedHex, std::string_view announcedHex);
// The service's public key from the build settings: 64 bytes, or empty when the setting is not a
// 64-byte hex text (then every signature check fails).
std::string servicePublicKey();
// The steps after the signature check: the body must be JSON and its member "nonce" must be the
// sent nonce byte for byte (a missing or non-string member counts as empty). An empty sent nonce
// never matches.
bool acceptSignedBody(const std::string& body, const std::string& sentNonce, JsonValue& answer);

// Windows (crypto_win.cpp: CNG and CryptoAPI).

// 32 bytes; 32 zero bytes when the provider cannot be opened.
std::string sha256(std::string_view bytes);
// 64 lowercase hex characters; empty when the file cannot be opened.
std::string sha256FileHex(const std::wstring& path);
// The same of every byte of an open file (a HANDLE with read access) from its start; empty on a
// read failure.
std::string sha256HandleHex(void* file);
// A SHA-256 over pieces given one after another. An empty state (no provider) fails every step.
struct Sha256Stream {
    std::shared_ptr<void> state;
};
Sha256Stream sha256Begin();
bool sha256Add(Sha256Stream& stream, std::string_view bytes);
// 64 lowercase hex characters of everything added; empty on failure. The stream is spent.
std::string sha256FinishHex(Sha256Stream& stream);
// Empty on any failure.
std::string base64Decode(const std::string& text);
// 32 lowercase hex characters of 16 random bytes; empty when the generator fails.
std::string randomNonce();
// ECDSA P-256 over the SHA-256 digest of message. Fails closed on any size, import or
// verification error.
bool verifyEcdsaP256(std::string_view publicKey, std::string_view message, std::string_view signature);
// Posts request (with a fresh "nonce" member) to https://host/path and accepts the answer only when
// its signature over the exact body bytes verifies with the service's key, the body is JSON and it
// echoes the nonce. Every failure is the same false.
bool fetchSignedAnswer(const std::string& host, const std::string& path, JsonValue request, JsonValue& answer);
