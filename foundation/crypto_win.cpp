// Digests, random numbers and signature checks on CNG; Base64 on CryptoAPI.
#include "foundation/crypto.h"

#include "foundation/handles_win.h"
#include "foundation/http.h"

#include <windows.h>
#include <bcrypt.h>
#include <wincrypt.h>

#include <cstring>
#include <utility>

namespace {

bool succeeded(NTSTATUS status) { return status >= 0; }

void closeAlgorithm(BCRYPT_ALG_HANDLE h) { BCryptCloseAlgorithmProvider(h, 0); }
using Algorithm = Unique<BCRYPT_ALG_HANDLE, &closeAlgorithm>;
using Hash = Unique<BCRYPT_HASH_HANDLE, &BCryptDestroyHash>;
using Key = Unique<BCRYPT_KEY_HANDLE, &BCryptDestroyKey>;

Algorithm openAlgorithm(const wchar_t* name) {
    Algorithm alg;
    if (!succeeded(BCryptOpenAlgorithmProvider(&alg.h, name, nullptr, 0))) alg.h = nullptr;
    return alg;
}

PUCHAR bytesOf(std::string_view s) { return reinterpret_cast<PUCHAR>(const_cast<char*>(s.data())); }

}  // namespace

std::string sha256(std::string_view bytes) {
    std::string digest(kSha256Bytes, '\0');
    Algorithm alg = openAlgorithm(BCRYPT_SHA256_ALGORITHM);
    if (!alg.h) return digest;
    if (!succeeded(BCryptHash(alg.h, nullptr, 0, bytesOf(bytes), static_cast<ULONG>(bytes.size()),
                              bytesOf(digest), static_cast<ULONG>(digest.size())))) {
        return std::string(kSha256Bytes, '\0');
    }
    return digest;
}

std::string sha256FileHex(const std::wstring& path) {
    UniqueHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    return file ? sha256HandleHex(file.get()) : std::string();
}

std::string sha256HandleHex(void* file) {
    LARGE_INTEGER start{};
    if (!SetFilePointerEx(file, start, nullptr, FILE_BEGIN)) return {};
    Sha256Stream stream = sha256Begin();
    std::string buffer(kDownloadBufferBytes, '\0');
    for (;;) {
        DWORD read = 0;
        if (!ReadFile(file, buffer.data(), static_cast<DWORD>(buffer.size()), &read, nullptr)) return {};
        if (read == 0) break;
        if (!sha256Add(stream, std::string_view(buffer.data(), read))) return {};
    }
    return sha256FinishHex(stream);
}

namespace {
struct Sha256State {
    Algorithm alg;
    Hash hash;
};
}  // namespace

Sha256Stream sha256Begin() {
    auto state = std::make_shared<Sha256State>();
    state->alg = openAlgorithm(BCRYPT_SHA256_ALGORITHM);
    if (!state->alg.h) return {};
    if (!succeeded(BCryptCreateHash(state->alg.h, &state->hash.h, nullptr, 0, nullptr, 0, 0))) {
        state->hash.h = nullptr;
        return {};
    }
    return Sha256Stream{state};
}

bool sha256Add(Sha256Stream& stream, std::string_view bytes) {
    auto* state = static_cast<Sha256State*>(stream.state.get());
    return state && succeeded(BCryptHashData(state->hash.h, bytesOf(bytes), static_cast<ULONG>(bytes.size()), 0));
}

std::string sha256FinishHex(Sha256Stream& stream) {
    auto* state = static_cast<Sha256State*>(stream.state.get());
    if (!state) return {};
    std::string digest(kSha256Bytes, '\0');
    const bool done = succeeded(BCryptFinishHash(state->hash.h, bytesOf(digest), static_cast<ULONG>(digest.size()), 0));
    stream.state.reset();
    return done ? toHex(digest) : std::string();
}

std::string base64Decode(const std::string& text) {
    if (text.empty()) return {};
    DWORD size = 0;
    const DWORD length = static_cast<DWORD>(text.size());
    if (!CryptStringToBinaryA(text.data(), length, CRYPT_STRING_BASE64, nullptr, &size, nullptr, nullptr) ||
        size == 0) {
        return {};
    }
    std::string bytes(size, '\0');
    if (!CryptStringToBinaryA(text.data(), length, CRYPT_STRING_BASE64, bytesOf(bytes), &size, nullptr, nullptr))
        return {};
    bytes.resize(size);
    return bytes;
}

std::string randomNonce() {
    std::string bytes(kNonceBytes, '\0');
    if (!succeeded(BCryptGenRandom(nullptr, bytesOf(bytes), static_cast<ULONG>(bytes.size()),
                                   BCRYPT_USE_SYSTEM_PREFERRED_RNG))) {
        return {};
    }
    return toHex(bytes);
}

bool verifyEcdsaP256(std::string_view publicKey, std::string_view message, std::string_view signature) {
    if (publicKey.size() != kP256PublicKeyBytes || signature.size() != kP256SignatureBytes) return false;
    Algorithm alg = openAlgorithm(BCRYPT_ECDSA_P256_ALGORITHM);
    if (!alg.h) return false;

    std::string blob(sizeof(BCRYPT_ECCKEY_BLOB) + kP256PublicKeyBytes, '\0');
    BCRYPT_ECCKEY_BLOB header{BCRYPT_ECDSA_PUBLIC_P256_MAGIC, 32};
    std::memcpy(blob.data(), &header, sizeof(header));
    std::memcpy(blob.data() + sizeof(header), publicKey.data(), publicKey.size());
    Key key;
    if (!succeeded(BCryptImportKeyPair(alg.h, nullptr, BCRYPT_ECCPUBLIC_BLOB, &key.h, bytesOf(blob),
                                       static_cast<ULONG>(blob.size()), 0))) {
        key.h = nullptr;
        return false;
    }
    std::string digest = sha256(message);
    return BCryptVerifySignature(key.h, nullptr, bytesOf(digest), static_cast<ULONG>(digest.size()),
                                 bytesOf(signature), static_cast<ULONG>(signature.size()), 0) == 0;
}

bool fetchSignedAnswer(const std::string& host, const std::string& path, JsonValue request, JsonValue& answer) {
    const std::string nonce = randomNonce();
    if (nonce.size() != kNonceBytes * 2) return false;
    request["nonce"] = nonce;
    const HttpResult result = postJson(host, path, writeJson(request));
    if (!result.ok) return false;
    if (!verifyEcdsaP256(servicePublicKey(), result.body, base64Decode(result.signature))) return false;
    return acceptSignedBody(result.body, nonce, answer);
}
