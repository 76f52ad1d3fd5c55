// HTTPS to the service and file downloads. One logical request is tried against a list of targets:
// the host name first, then the compiled-in fallback address and the host's own IPv4 addresses.
// A connection made to a bare address still sends the host name and demands a certificate for it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// The outcome of postJson.
struct HttpResult {
    bool ok = false;          // some target gave an accepted (signed) response
    uint32_t status = 0;      // status code of the last handled response; 0 when none
    std::string body;         // body of the last handled response, capped a little over 1 MiB
    std::string signature;    // "X-VLM-Signature" of that response; empty when absent
};

inline constexpr const wchar_t* kHttpUserAgent = L"VELMORANTE/1.2.2";
inline constexpr const char* kSignatureHeader = "X-VLM-Signature";
inline constexpr uint16_t kServicePort = 443;
inline constexpr uint32_t kResolveTimeoutMs = 5000;
inline constexpr uint32_t kConnectTimeoutMs = 5000;
inline constexpr uint32_t kSendTimeoutMs = 10000;
inline constexpr uint32_t kReceiveTimeoutMs = 20000;

// The WinHTTP time-outs of one request, per target tried, in milliseconds. The receive time-out
// also bounds the wait for the response headers.
struct HttpTimeouts {
    uint32_t resolveMs = kResolveTimeoutMs;
    uint32_t connectMs = kConnectTimeoutMs;
    uint32_t sendMs = kSendTimeoutMs;
    uint32_t receiveMs = kReceiveTimeoutMs;
};
// Reading a POST answer stops once the body exceeds this; the chunk that crossed it is kept.
inline constexpr size_t kPostBodyLimitBytes = 1048576;
inline constexpr size_t kDownloadBufferBytes = 65536;

// Receives the WinHTTP request handle (an HINTERNET) once a response has arrived; true accepts it.
using ResponseHandler = std::function<bool(void* request)>;
// Download progress as a fraction from 0 to 1.
using ProgressCallback = std::function<void(double)>;

// The compiled-in fallback addresses of the service, whatever host is asked for.
std::vector<std::string> fallbackAddresses();

// The fallback addresses, then the host's IPv4 addresses, each text once, in that order.
std::vector<std::string> resolveAddresses(const std::string& host);

// Tries the host name, then every address of resolveAddresses(host), until the handler accepts a
// response. body == nullptr sends no body. False when no target was accepted, or at once when no
// WinHTTP session can be opened.
bool httpRequest(const std::wstring& host, uint16_t port, const std::wstring& verb, const std::wstring& path,
                 const std::string* body, const ResponseHandler& handler, const HttpTimeouts& timeouts = {});

// POST of a UTF-8 JSON body to https://host:443/path. Only an answer carrying "X-VLM-Signature"
// is accepted; otherwise the next target is tried.
HttpResult postJson(const std::string& host, const std::string& path, const std::string& body,
                    const HttpTimeouts& timeouts = {});

// Every download stops here: a larger announced length is refused before a byte is read, and a body
// without one that runs past it is cut off and refused. The signed answers keep their own cap.
inline constexpr uint64_t kDownloadLimitBytes = 320ull * 1024 * 1024;

// Where a download's body goes: start() before each target's body (false gives that target up),
// then write() with every piece in order (false stops the download).
struct DownloadSink {
    std::function<bool()> start;
    std::function<bool(const char* data, size_t size)> write;
};

// GET of an https URL into the sink. False for any other scheme without touching the network, for a
// status other than 200, for a short body and for one longer than limitBytes.
bool httpDownloadTo(const std::wstring& url, const DownloadSink& sink, const ProgressCallback& progress,
                    uint64_t limitBytes = kDownloadLimitBytes, const HttpTimeouts& timeouts = {});

// A download into a file made for it: the digest is of the bytes as they were written.
struct DownloadedFile {
    bool ok = false;
    bool created = false;    // the file exists (even when the download failed): the caller deletes it
    std::string digestHex;   // SHA-256, lowercase hex; set when ok
    std::string failure;     // why the file could not be made
};
// httpDownloadTo into a new file at filePath (never an existing one, never through a link), which
// no one else can open while it is written; hashed while written, flushed and closed.
DownloadedFile httpDownloadNewFile(const std::wstring& url, const std::wstring& filePath,
                                   const ProgressCallback& progress, uint64_t limitBytes = kDownloadLimitBytes);

// httpDownloadTo into filePath (created anew for every target tried).
// A failed download may leave a partial file behind: the caller deletes it.
bool httpDownload(const std::wstring& url, const std::wstring& filePath, const ProgressCallback& progress,
                  const HttpTimeouts& timeouts = {}, uint64_t limitBytes = kDownloadLimitBytes);
