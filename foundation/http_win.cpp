// The HTTP client over WinHTTP, synchronous, on the calling thread.
// WinHTTP only here: <wininet.h> and <winhttp.h> clash under mingw-w64.
#include "foundation/http.h"

#include "build_config.h"
#include "foundation/crypto.h"
#include "foundation/files_win.h"
#include "foundation/handles_win.h"
#include "foundation/net.h"
#include "foundation/text.h"

#include <windows.h>
#include <wincrypt.h>
#include <winhttp.h>

#include <algorithm>
#include <cwchar>
#include <utility>

namespace {

using InternetHandle = Unique<HINTERNET, &WinHttpCloseHandle>;

// What the certificate-name check needs while WinHttpSendRequest runs.
struct SendContext {
    const std::wstring* expectedHost = nullptr;
    HINTERNET* request = nullptr;
    bool nameMatched = false;
};

// A certificate yields at most this many characters of DNS names (a list of zero-terminated names).
constexpr DWORD kCertNamesChars = 1023;

void CALLBACK checkCertificateName(HINTERNET handle, DWORD_PTR context, DWORD status, LPVOID, DWORD) {
    if (status != WINHTTP_CALLBACK_STATUS_SENDING_REQUEST || context == 0) return;
    auto* send = reinterpret_cast<SendContext*>(context);
    PCCERT_CONTEXT cert = nullptr;
    DWORD size = sizeof(cert);
    if (WinHttpQueryOption(handle, WINHTTP_OPTION_SERVER_CERT_CONTEXT, &cert, &size) && cert) {
        // One spare zero past the names, so that the last one is terminated even when cut short.
        std::wstring names(kCertNamesChars + 1, L'\0');
        CertGetNameStringW(cert, CERT_NAME_DNS_TYPE, CERT_NAME_SEARCH_ALL_NAMES_FLAG, nullptr,
                           names.data(), kCertNamesChars);
        const wchar_t* end = names.data() + kCertNamesChars;
        for (const wchar_t* p = names.data(); p < end && *p != L'\0'; p += wcslen(p) + 1) {
            if (_wcsicmp(p, send->expectedHost->c_str()) == 0) send->nameMatched = true;
        }
        CertFreeCertificateContext(cert);
    }
    if (!send->nameMatched && *send->request) {
        // Windows then fails the send. Wine still sends the request, so acceptance is decided
        // by nameMatched after the send as well.
        WinHttpCloseHandle(*send->request);
        *send->request = nullptr;
    }
}

struct Target {
    std::wstring address;
    bool byAddress = false;
};

bool queryNumber(HINTERNET request, DWORD query, DWORD& value) {
    DWORD size = sizeof(value);
    return WinHttpQueryHeaders(request, query | WINHTTP_QUERY_FLAG_NUMBER, WINHTTP_HEADER_NAME_BY_INDEX,
                               &value, &size, WINHTTP_NO_HEADER_INDEX) != FALSE;
}

}  // namespace

std::vector<std::string> fallbackAddresses() {
    std::vector<std::string> list;
    const std::string configured = vlm::build::kServiceFallbackIp;
    if (!configured.empty()) list.push_back(configured);
    return list;
}

std::vector<std::string> resolveAddresses(const std::string& host) {
    std::vector<std::string> list;
    auto addOnce = [&list](const std::string& address) {
        if (std::find(list.begin(), list.end(), address) == list.end()) list.push_back(address);
    };
    for (const std::string& a : fallbackAddresses()) addOnce(a);
    for (const std::string& a : resolveIPv4Addresses(host)) addOnce(a);
    return list;
}

bool httpRequest(const std::wstring& host, uint16_t port, const std::wstring& verb, const std::wstring& path,
                 const std::string* body, const ResponseHandler& handler, const HttpTimeouts& timeouts) {
    // The host name goes into a header line of its own for address targets.
    if (!handler || host.empty() || host.find_first_of(L"\r\n") != std::wstring::npos) return false;
    std::vector<Target> targets{{host, false}};
    for (const std::string& a : resolveAddresses(wideToUtf8(host))) targets.push_back({utf8ToWide(a), true});

    for (const Target& target : targets) {
        InternetHandle session{WinHttpOpen(kHttpUserAgent, WINHTTP_ACCESS_TYPE_NO_PROXY,
                                           WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0)};
        if (!session) return false;
        WinHttpSetTimeouts(session.h, static_cast<int>(timeouts.resolveMs), static_cast<int>(timeouts.connectMs),
                           static_cast<int>(timeouts.sendMs), static_cast<int>(timeouts.receiveMs));
        // Without this, Wine waits forever for a server that accepts and never answers.
        DWORD responseTimeout = timeouts.receiveMs;
        WinHttpSetOption(session.h, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &responseTimeout,
                         sizeof(responseTimeout));

        InternetHandle connection{WinHttpConnect(session.h, target.address.c_str(), port, 0)};
        if (!connection) continue;
        InternetHandle req{WinHttpOpenRequest(connection.h, verb.c_str(), path.empty() ? L"/" : path.c_str(),
                                              nullptr, WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                              WINHTTP_FLAG_SECURE)};
        if (!req) continue;
        WinHttpSetOption(req.h, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &responseTimeout,
                         sizeof(responseTimeout));

        std::wstring headers;
        if (body) headers += L"Content-Type: application/json\r\n";
        SendContext context{&host, &req.h, false};
        if (target.byAddress) {
            DWORD flags = SECURITY_FLAG_IGNORE_CERT_CN_INVALID;
            WinHttpSetOption(req.h, WINHTTP_OPTION_SECURITY_FLAGS, &flags, sizeof(flags));
            WinHttpSetStatusCallback(req.h, checkCertificateName, WINHTTP_CALLBACK_FLAG_SEND_REQUEST, 0);
            headers += L"Host: " + host + L"\r\n";
        }

        const DWORD bodyLength = body ? static_cast<DWORD>(body->size()) : 0;
        void* bodyData = body && !body->empty() ? const_cast<char*>(body->data()) : WINHTTP_NO_REQUEST_DATA;
        const BOOL sent = WinHttpSendRequest(req.h, headers.empty() ? WINHTTP_NO_ADDITIONAL_HEADERS : headers.c_str(),
                                             headers.empty() ? 0 : static_cast<DWORD>(-1), bodyData, bodyLength,
                                             bodyLength, reinterpret_cast<DWORD_PTR>(&context));
        if (!sent || !req) continue;
        if (!WinHttpReceiveResponse(req.h, nullptr)) continue;
        if (target.byAddress && !context.nameMatched) continue;
        if (handler(req.h)) return true;
    }
    return false;
}

HttpResult postJson(const std::string& host, const std::string& path, const std::string& body,
                    const HttpTimeouts& timeouts) {
    HttpResult result;
    auto accept = [&result](void* handle) {
        HINTERNET req = static_cast<HINTERNET>(handle);
        DWORD status = 0;
        result.status = queryNumber(req, WINHTTP_QUERY_STATUS_CODE, status) ? status : 0;
        result.body.clear();
        result.signature.clear();

        wchar_t signature[256] = {};  // 512 bytes
        DWORD size = sizeof(signature);
        if (WinHttpQueryHeaders(req, WINHTTP_QUERY_CUSTOM, L"X-VLM-Signature", signature, &size,
                                WINHTTP_NO_HEADER_INDEX)) {
            result.signature = wideToUtf8(std::wstring(signature, size / sizeof(wchar_t)));
        }

        std::string chunk;
        while (result.body.size() <= kPostBodyLimitBytes) {
            DWORD available = 0;
            if (!WinHttpQueryDataAvailable(req, &available) || available == 0) break;
            // Read what is there, but never more than one download buffer at a time.
            chunk.resize(std::min<size_t>(available, kDownloadBufferBytes));
            DWORD read = 0;
            if (!WinHttpReadData(req, chunk.data(), static_cast<DWORD>(chunk.size()), &read)) break;
            if (read == 0) break;
            result.body.append(chunk.data(), read);
        }
        return !result.signature.empty();
    };
    result.ok = httpRequest(utf8ToWide(host), kServicePort, L"POST", utf8ToWide(path), &body, accept, timeouts);
    return result;
}

bool httpDownloadTo(const std::wstring& url, const DownloadSink& sink, const ProgressCallback& progress,
                    uint64_t limitBytes, const HttpTimeouts& timeouts) {
    wchar_t hostName[256] = {};
    wchar_t urlPath[2048] = {};
    URL_COMPONENTS parts{};
    parts.dwStructSize = sizeof(parts);
    parts.lpszHostName = hostName;
    parts.dwHostNameLength = 256;
    parts.lpszUrlPath = urlPath;
    parts.dwUrlPathLength = 2048;
    if (url.empty() || !WinHttpCrackUrl(url.c_str(), 0, 0, &parts) || parts.nScheme != INTERNET_SCHEME_HTTPS)
        return false;
    const std::wstring host(hostName, parts.dwHostNameLength);
    const std::wstring path(urlPath, parts.dwUrlPathLength);
    if (host.empty()) return false;

    auto accept = [&sink, &progress, limitBytes](void* handle) {
        HINTERNET req = static_cast<HINTERNET>(handle);
        DWORD status = 0;
        if (!queryNumber(req, WINHTTP_QUERY_STATUS_CODE, status) || status != 200) return false;
        DWORD length = 0;
        if (!queryNumber(req, WINHTTP_QUERY_CONTENT_LENGTH, length)) length = 0;
        if (length > limitBytes) return false;
        if (sink.start && !sink.start()) return false;

        std::string buffer(kDownloadBufferBytes, '\0');
        uint64_t total = 0;
        for (;;) {
            DWORD read = 0;
            if (!WinHttpReadData(req, buffer.data(), static_cast<DWORD>(buffer.size()), &read)) return false;
            if (read == 0) break;
            total += read;
            if (total > limitBytes) return false;
            if (!sink.write(buffer.data(), read)) return false;
            if (progress && length != 0) progress(static_cast<double>(total) / static_cast<double>(length));
        }
        return length == 0 || total == length;
    };
    return httpRequest(host, parts.nPort, L"GET", path, nullptr, accept, timeouts);
}

bool httpDownload(const std::wstring& url, const std::wstring& filePath, const ProgressCallback& progress,
                  const HttpTimeouts& timeouts, uint64_t limitBytes) {
    UniqueHandle file;
    DownloadSink sink;
    sink.start = [&file, &filePath] {
        file.reset();  // the previous target's, unshared
        file = UniqueHandle(CreateFileW(filePath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
        return static_cast<bool>(file);
    };
    sink.write = [&file](const char* data, size_t size) {
        DWORD written = 0;
        return WriteFile(file.h, data, static_cast<DWORD>(size), &written, nullptr) && written == size;
    };
    const bool ok = httpDownloadTo(url, sink, progress, limitBytes, timeouts);
    file.reset();
    return ok;
}

DownloadedFile httpDownloadNewFile(const std::wstring& url, const std::wstring& filePath,
                                   const ProgressCallback& progress, uint64_t limitBytes) {
    DownloadedFile result;
    CheckedFile file = openChecked(filePath, GENERIC_WRITE, 0, CREATE_NEW);
    if (!file.handle) {
        result.failure = file.failure;
        return result;
    }
    result.created = true;
    Sha256Stream stream;
    DownloadSink sink;
    sink.start = [&file, &stream] {  // every target tried starts from an empty file
        LARGE_INTEGER start{};
        stream = sha256Begin();
        return SetFilePointerEx(file.handle.get(), start, nullptr, FILE_BEGIN) && SetEndOfFile(file.handle.get());
    };
    sink.write = [&file, &stream](const char* data, size_t size) {
        DWORD written = 0;
        return WriteFile(file.handle.get(), data, static_cast<DWORD>(size), &written, nullptr) && written == size &&
               sha256Add(stream, std::string_view(data, size));
    };
    result.ok = httpDownloadTo(url, sink, progress, limitBytes) && FlushFileBuffers(file.handle.get());
    if (result.ok) result.digestHex = sha256FinishHex(stream);
    return result;
}
