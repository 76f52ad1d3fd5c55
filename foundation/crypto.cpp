#include "foundation/crypto.h"
#include "foundation/text.h"

#include "build_config.h"

#include <utility>

namespace {

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

std::string toHex(std::string_view bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(bytes.size() * 2);
    for (unsigned char b : bytes) {
        text.push_back(kDigits[b >> 4]);
        text.push_back(kDigits[b & 0x0f]);
    }
    return text;
}

bool fromHex(std::string_view text, std::string& bytes) {
    bytes.clear();
    if (text.size() % 2 != 0) return false;
    bytes.reserve(text.size() / 2);
    for (size_t i = 0; i < text.size(); i += 2) {
        const int high = hexValue(text[i]);
        const int low = hexValue(text[i + 1]);
        if (high < 0 || low < 0) {
            bytes.clear();
            return false;
        }
        bytes.push_back(static_cast<char>(high * 16 + low));
    }
    return true;
}

bool digestMatches(std::string_view computedHex, std::string_view announcedHex) {
    if (computedHex.empty() || computedHex.size() != announcedHex.size()) return false;
    for (size_t i = 0; i < computedHex.size(); ++i) {
        if (lowerAscii(computedHex[i]) != lowerAscii(announcedHex[i])) return false;
    }
    return true;
}

std::string servicePublicKey() {
    std::string key;
    if (!fromHex(vlm::build::kServicePublicKeyHex, key) || key.size() != kP256PublicKeyBytes) return {};
    return key;
}

bool acceptSignedBody(const std::string& body, const std::string& sentNonce, JsonValue& answer) {
    JsonValue parsed;
    if (sentNonce.empty() || !parseJson(body, parsed)) return false;
    if (parsed.find("nonce").asText() != sentNonce) return false;
    answer = std::move(parsed);
    return true;
}
