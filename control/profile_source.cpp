#include "control/profile_source.h"

#include "foundation/crypto.h"

#include <chrono>
#include <cstdint>
#include <string>
#include <utility>

namespace {

// Every "nonce" member goes: with duplicate keys the first would win, and a later one must not
// come forward in its place.
void dropNonce(JsonValue& document) {
    auto& members = document.members;
    for (auto it = members.begin(); it != members.end();) {
        it = it->first == "nonce" ? members.erase(it) : it + 1;
    }
}

bool stopRequested(ProfileSourceState& state) {
    std::lock_guard<std::mutex> hold(state.lock);
    return state.stopRequested;
}

bool waitForStop(ProfileSourceState& state, uint64_t ms) {
    std::unique_lock<std::mutex> hold(state.lock);
    return state.stopSignal.wait_for(hold, std::chrono::milliseconds(ms), [&state] { return state.stopRequested; });
}

// Makes the document the newest one unless it is the one handed over (or waiting) already.
void offerVerified(ProfileSourceState& state, JsonValue document, const std::string& text) {
    std::lock_guard<std::mutex> hold(state.lock);
    if (text == state.newestText) return;
    state.newest = std::move(document);
    state.newestText = text;
    state.pending = true;
}

// The dump of the stored file's document, or empty when the file holds none worth keeping.
std::string loadStored(ProfileSourceState& state, const ProfileSourceOps& ops) {
    std::string bytes;
    if (!ops.stored.read(bytes)) return {};
    JsonValue document;
    const std::string reason = checkStoredAnswer(bytes, ops.service.verify, document);
    if (!reason.empty()) {
        ops.log("stored profile ignored: " + reason);
        return {};
    }
    std::string text = writeJson(document);
    offerVerified(state, std::move(document), text);
    return text;
}

// The file is rewritten only when the document changed: a new nonce alone is no reason.
void store(const ProfileSourceOps& ops, const SignedAnswer& answer, const std::string& text, std::string& storedText) {
    if (text == storedText) return;
    const std::string bytes = encodeStoredAnswer(answer);
    if (bytes.size() > kStoredProfileLimitBytes) {
        ops.log("profile answer not stored, too large: " + std::to_string(bytes.size()) + " bytes");
        return;
    }
    if (ops.stored.write(bytes)) storedText = text;
}

}  // namespace

uint64_t profileRetryDelayMs(uint32_t failures) {
    if (failures == 0) return kProfileRefreshMs;
    uint64_t delay = kProfileFirstRetryMs;
    for (uint32_t i = 1; i < failures && delay < kProfileMaxRetryMs; ++i) delay *= 2;
    return delay < kProfileMaxRetryMs ? delay : kProfileMaxRetryMs;
}

std::string requestProfile(const ProfileSourceOps& ops, JsonValue& document, SignedAnswer& answer) {
    const std::string nonce = ops.service.newNonce();
    if (nonce.size() != kNonceBytes * 2) return "no nonce";
    JsonValue request(JsonKind::Object);
    request["nonce"] = nonce;
    answer = SignedAnswer{};
    if (!ops.service.post(writeJson(request), answer)) return "no signed answer";
    if (!ops.service.verify(answer)) return "signature does not verify";
    JsonValue parsed;
    if (!acceptSignedBody(answer.body, nonce, parsed)) return "answer is not JSON or does not echo the nonce";
    if (parsed.kind != JsonKind::Object) return "answer is not a JSON object";
    dropNonce(parsed);
    document = std::move(parsed);
    return {};
}

std::string encodeStoredAnswer(const SignedAnswer& answer) {
    JsonValue stored(JsonKind::Object);
    stored["body"] = answer.body;
    stored["signature"] = answer.signature;
    return writeJson(stored);
}

std::string checkStoredAnswer(const std::string& bytes, const std::function<bool(const SignedAnswer&)>& verify,
                              JsonValue& document) {
    if (bytes.size() > kStoredProfileLimitBytes)
        return "larger than " + std::to_string(kStoredProfileLimitBytes) + " bytes";
    JsonValue stored;
    if (!parseJson(bytes, stored) || stored.find("body").kind != JsonKind::String) return "damaged file";
    const SignedAnswer answer{stored.find("body").text, stored.find("signature").asText()};
    if (answer.signature.empty()) return "unsigned";
    if (!verify || !verify(answer)) return "signature does not verify";
    JsonValue parsed;
    if (!parseJson(answer.body, parsed) || parsed.kind != JsonKind::Object) return "answer is not a JSON object";
    dropNonce(parsed);
    document = std::move(parsed);
    return {};
}

void runProfileWorker(ProfileSourceState& state, const ProfileSourceOps& ops) {
    std::string storedText = loadStored(state, ops);
    uint32_t failures = 0;
    while (!stopRequested(state)) {
        JsonValue document;
        SignedAnswer answer;
        const std::string reason = requestProfile(ops, document, answer);
        if (stopRequested(state)) break;  // the program is ending: an answer that came late is dropped
        if (reason.empty()) {
            failures = 0;
            const std::string text = writeJson(document);
            offerVerified(state, std::move(document), text);
            store(ops, answer, text, storedText);
        } else {
            if (failures < UINT32_MAX) ++failures;
            ops.log("profile request failed: " + reason);
        }
        const uint64_t delay = failures == 0 ? ops.refreshMs : profileRetryDelayMs(failures);
        if (ops.wait ? ops.wait(delay) : waitForStop(state, delay)) break;
    }
}

void requestProfileStop(ProfileSourceState& state) {
    {
        std::lock_guard<std::mutex> hold(state.lock);
        state.stopRequested = true;
    }
    state.stopSignal.notify_all();
}

bool takeProfileDocument(ProfileSourceState& state, JsonValue& document) {
    std::lock_guard<std::mutex> hold(state.lock);
    if (!state.pending) return false;
    document = std::move(state.newest);
    state.newest = JsonValue();
    state.pending = false;
    return true;
}

ProfileSource profileSourceOf(std::shared_ptr<ProfileSourceState> state) {
    return ProfileSource{[state](JsonValue& document) { return takeProfileDocument(*state, document); }};
}
