// The service's profile source: a background worker asks the service for the service document with
// a signed request at start and then every 5 minutes (after a failure: 15 s, doubling up to
// 5 minutes), keeps the last verified answer with its signature in the data folder so that a start
// without a connection still has a profile, and hands over the newest verified document through
// take, which never waits.
//
// A fresh answer is accepted only when its signature over the exact body bytes verifies with the
// service's key and the body is a JSON object echoing this request's nonce. The stored answer is
// re-verified when it is read at start, but it cannot echo a nonce of this run: offline, what
// remains is that the service signed this very body once. Someone who can write the data folder
// can put back any earlier answer the service ever signed (an older configuration, or an answer of
// another signed endpoint, which carries no "config" and so yields a profile without servers).
// The live request is not open to such a replay, and the stored answer is read only once, before
// the first request, so within a run it never replaces a fresh one.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "control/profile.h"
#include "foundation/handle.h"
#include "foundation/json.h"
#include "foundation/log.h"

inline constexpr const char* kProfileRequestPath = "/api/v1/profile";
inline constexpr const char* kStoredProfileFile = "profile.json";
inline constexpr uint64_t kProfileRefreshMs = 5 * 60 * 1000;
inline constexpr uint64_t kProfileFirstRetryMs = 15 * 1000;
inline constexpr uint64_t kProfileMaxRetryMs = 5 * 60 * 1000;
// Above any answer postJson keeps (a little over 1 MiB), even with every byte escaped as \u00XX.
inline constexpr size_t kStoredProfileLimitBytes = 8 * 1024 * 1024;
// How long the program's shutdown waits for the worker. A request in flight is not cut short: the
// worker is then left to end by itself once the HTTP client's time-outs end the request.
inline constexpr uint32_t kProfileWorkerStopWaitMs = 2000;

// An answer as it arrived: the exact body bytes and the Base64 "X-VLM-Signature".
struct SignedAnswer {
    std::string body;
    std::string signature;
};

// The service's side of a request. Defaults: no nonce, no answer, nothing verifies.
struct ProfileServiceOps {
    std::function<std::string()> newNonce = [] { return std::string(); };  // 32 hex characters; empty when none can be made
    // One POST of the request body to the profile path; false when no target gave a signed answer.
    std::function<bool(const std::string& requestBody, SignedAnswer& answer)> post =
        [](const std::string&, SignedAnswer&) { return false; };
    // The signature over the exact body bytes, checked with the service's key.
    std::function<bool(const SignedAnswer& answer)> verify = [](const SignedAnswer&) { return false; };
};

// The answer kept in the data folder. Defaults: none stored, none written.
struct StoredAnswerOps {
    // The stored answer's bytes; false when there is none (a missing file is not logged).
    std::function<bool(std::string& bytes)> read = [](std::string&) { return false; };
    // Replaces the stored answer whole, never leaving half a file; false on failure.
    std::function<bool(const std::string& bytes)> write = [](const std::string&) { return false; };
};

// The worker's reach into the system. The Windows edge fills it with WinHTTP, CNG and the data
// folder; tests fill it with fakes.
struct ProfileSourceOps {
    ProfileServiceOps service;
    StoredAnswerOps stored;
    LogSink log = dropLogLine;
    // Waits up to ms and returns true when a stop was asked for. Empty: waits on the state's stop
    // signal (tests put a fake clock here).
    std::function<bool(uint64_t ms)> wait;
    uint64_t refreshMs = kProfileRefreshMs;  // the interval after a good answer
};

// Shared by the worker and take. The worker holds it through a shared_ptr, so a worker that a
// bounded join left behind never touches freed memory.
struct ProfileSourceState {
    std::mutex lock;
    std::condition_variable stopSignal;
    bool stopRequested = false;
    bool pending = false;      // newest has not been taken yet
    JsonValue newest;
    std::string newestText;    // dump of the last document made pending: each change goes out once
};

// Portable (profile_source.cpp).

// The delay before the next request: the refresh interval when the last request succeeded
// (failures == 0), else 15 s doubled for every further failure in a row, at most 5 minutes.
uint64_t profileRetryDelayMs(uint32_t failures);

// One signed request: a fresh nonce, the POST, the signature, a JSON object echoing the nonce.
// The document is the answer without its "nonce" member: the nonce belongs to the request, not to
// the service's configuration, and would make every answer look new. Empty on success, else the
// English reason.
std::string requestProfile(const ProfileSourceOps& ops, JsonValue& document, SignedAnswer& answer);

// The stored file: {"body": <the exact answer text>, "signature": <Base64>}.
std::string encodeStoredAnswer(const SignedAnswer& answer);
// Re-verifies a stored answer and yields its document (without "nonce"). Empty on success, else
// the English reason it is ignored.
std::string checkStoredAnswer(const std::string& bytes, const std::function<bool(const SignedAnswer&)>& verify,
                              JsonValue& document);

// The worker: the stored answer first, then a request at once and on the schedule, until a stop.
// Runs on the calling thread.
void runProfileWorker(ProfileSourceState& state, const ProfileSourceOps& ops);
// Raises the stop flag and wakes a waiting worker.
void requestProfileStop(ProfileSourceState& state);
// Never waits for the worker: true with the newest verified document not yet taken.
bool takeProfileDocument(ProfileSourceState& state, JsonValue& document);
ProfileSource profileSourceOf(std::shared_ptr<ProfileSourceState> state);

// Windows (profile_source_win.cpp).

// Where the worker asks and keeps its answer; empty fields take the program's own: the build's
// service host, kProfileRequestPath and the data folder.
struct ProfileSourceSettings {
    std::string host;
    std::string path;
    std::wstring folder;
    uint64_t refreshMs = 0;  // 0: every 5 minutes
};

struct ProfileWorker {
    std::shared_ptr<ProfileSourceState> state;
    PlatformHandle thread;  // the worker thread, let go by stopProfileWorker
};

// Starts the worker thread with a fresh state: take profileSourceOf(worker.state) after the start.
// False when one runs already or no thread can be started.
bool startProfileWorker(ProfileWorker& worker, const ProfileSourceSettings& settings = {});
// Asks the worker to stop and waits for it at most waitMs. False when it was still busy with a
// request: it then ends by itself when the request does, keeping nothing of it.
bool stopProfileWorker(ProfileWorker& worker, uint32_t waitMs);
// One signed request, with no stored answer read or written. The reason of a failure in English.
bool fetchProfileOnce(JsonValue& document, const ProfileSourceSettings& settings = {}, std::string* reason = nullptr);
