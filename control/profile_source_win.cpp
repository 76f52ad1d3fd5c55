// The profile source's Windows edge: the signed request over the HTTP client, the stored answer in
// the data folder, and the worker thread.
#include "control/profile_source.h"

#include "build_config.h"
#include "foundation/crypto.h"
#include "foundation/files_win.h"
#include "foundation/handles_win.h"
#include "foundation/http.h"
#include "foundation/log.h"
#include "foundation/paths.h"
#include "foundation/process_win.h"
#include "foundation/text.h"

#include <windows.h>

#include <memory>
#include <string>
#include <utility>

namespace {

struct Resolved {
    std::string host, path;
    std::wstring file;  // the stored answer; empty when there is no data folder
};

Resolved resolve(const ProfileSourceSettings& settings) {
    Resolved r;
    r.host = settings.host.empty() ? vlm::build::kServiceHost : settings.host;
    r.path = settings.path.empty() ? kProfileRequestPath : settings.path;
    const std::wstring folder = settings.folder.empty() ? dataFolder() : settings.folder;
    if (!folder.empty()) r.file = folder + L"\\" + utf8ToWide(kStoredProfileFile);
    return r;
}

bool readStoredFile(const std::wstring& path, std::string& bytes) {
    if (path.empty()) return false;
    if (GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) {
        const DWORD e = GetLastError();
        // The first run has no stored answer yet.
        if (e != ERROR_FILE_NOT_FOUND && e != ERROR_PATH_NOT_FOUND)
            logLine("stored profile unreadable: " + std::to_string(e));
        return false;
    }
    CheckedFile opened = openChecked(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
    if (!opened.handle) {
        logLine("stored profile unreadable: " + opened.failure);
        return false;
    }
    const UniqueHandle file = std::move(opened.handle);
    bytes.clear();
    std::string chunk(kDownloadBufferBytes, '\0');
    // One byte past the limit is enough for the check to refuse the file.
    while (bytes.size() <= kStoredProfileLimitBytes) {
        DWORD read = 0;
        if (!ReadFile(file.get(), chunk.data(), static_cast<DWORD>(chunk.size()), &read, nullptr)) {
            const DWORD e = GetLastError();
            logLine("stored profile unreadable: " + std::to_string(e));
            return false;
        }
        if (read == 0) break;
        bytes.append(chunk.data(), read);
    }
    return true;
}

// Written beside the file under a new name, flushed, then renamed over it through its handle: a
// crash leaves the old answer or the new one, never half a file, and no link is written through.
bool writeStoredFile(const std::wstring& path, const std::string& bytes) {
    if (path.empty()) return false;
    const std::string why = replaceFile(path, bytes);
    if (!why.empty()) {
        logLine("profile answer not stored: " + why);
        return false;
    }
    return true;
}

ProfileSourceOps platformOps(const Resolved& r) {
    ProfileSourceOps ops;
    ops.service.newNonce = randomNonce;
    ops.service.post = [host = r.host, path = r.path](const std::string& body, SignedAnswer& answer) {
        HttpResult result = postJson(host, path, body);
        if (!result.ok) return false;
        answer.body = std::move(result.body);
        answer.signature = std::move(result.signature);
        return true;
    };
    ops.service.verify = [](const SignedAnswer& answer) {
        return verifyEcdsaP256(servicePublicKey(), answer.body, base64Decode(answer.signature));
    };
    ops.stored.read = [file = r.file](std::string& bytes) { return readStoredFile(file, bytes); };
    ops.stored.write = [file = r.file](const std::string& bytes) { return writeStoredFile(file, bytes); };
    ops.log = logLine;
    return ops;
}

}  // namespace

bool startProfileWorker(ProfileWorker& worker, const ProfileSourceSettings& settings) {
    if (worker.thread) return false;
    worker.state = std::make_shared<ProfileSourceState>();
    ProfileSourceOps ops = platformOps(resolve(settings));
    if (settings.refreshMs) ops.refreshMs = settings.refreshMs;
    UniqueHandle thread = startThread([state = worker.state, ops = std::move(ops)] { runProfileWorker(*state, ops); });
    if (!thread) {
        logLine("profile worker not started, CreateThread failed: " + std::to_string(GetLastError()));
        return false;
    }
    worker.thread = platformHandle(std::move(thread));
    return true;
}

bool stopProfileWorker(ProfileWorker& worker, uint32_t waitMs) {
    if (!worker.thread) return true;
    requestProfileStop(*worker.state);
    const PlatformHandle thread = std::move(worker.thread);
    const DWORD waited = WaitForSingleObject(kernelHandle(thread), waitMs);
    const DWORD e = GetLastError();
    if (waited == WAIT_OBJECT_0) return true;
    if (waited == WAIT_TIMEOUT) {
        logLine("profile worker still busy after " + std::to_string(waitMs) + " ms, left to end by itself");
    } else {
        logLine("wait for the profile worker failed: " + std::to_string(e));
    }
    return false;
}

bool fetchProfileOnce(JsonValue& document, const ProfileSourceSettings& settings, std::string* reason) {
    SignedAnswer answer;
    const std::string why = requestProfile(platformOps(resolve(settings)), document, answer);
    if (reason) *reason = why;
    return why.empty();
}
