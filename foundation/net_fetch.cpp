// The SOCKS5 client and the capped HTTP/1.1 reader of the liveness check, over any byte stream.
#include "foundation/net.h"

#include <algorithm>

namespace {

struct Exchange {
    const ByteStream& stream;
    const FetchLimits& limits;
    const std::function<uint64_t()>& nowMs;
    const std::function<bool()>& stop;
    uint64_t deadline = 0;
    uint64_t stallDeadline = 0;  // 0 until the body begins
    std::string detail;

    // Exactly size bytes into buffer, or false with detail set.
    bool readExactly(char* buffer, size_t size) {
        size_t got = 0;
        while (got < size) {
            const int n = readSome(buffer + got, size - got);
            if (n <= 0) return false;
            got += static_cast<size_t>(n);
        }
        return true;
    }

    // Some bytes (at most size), waiting in slices; 0 or less with detail set.
    int readSome(char* buffer, size_t size) {
        for (;;) {
            if (stop && stop()) return fail("stopped");
            const uint64_t now = nowMs();
            if (now >= deadline) return fail("timed out");
            if (stallDeadline && now >= stallDeadline) return fail("stalled");
            const uint64_t until = stallDeadline ? std::min(deadline, stallDeadline) : deadline;
            const uint32_t wait = static_cast<uint32_t>(std::min<uint64_t>(until - now, limits.sliceMs));
            const int n = stream.receive(buffer, size, wait);
            if (n > 0) {
                if (stallDeadline) stallDeadline = nowMs() + limits.stallMs;
                return n;
            }
            if (n == 0) return fail("closed by the peer");
            if (n == -1) return fail("receive failed");
        }
    }

    int fail(const char* why) {
        detail = why;
        return -1;
    }

    bool refuse(const char* why) {
        detail = why;
        return false;
    }
};

FetchResult failed(const std::string& detail, int status = 0, size_t body = 0) {
    FetchResult r;
    r.detail = detail;
    r.status = status;
    r.bodyBytes = body;
    return r;
}

// The SOCKS5 exchange: no authentication, CONNECT to the host by name.
bool socksConnect(Exchange& x, const std::string& host, uint16_t port) {
    if (host.empty() || host.size() > 255) return x.refuse("host name unusable for SOCKS");
    const char greeting[] = {5, 1, 0};
    if (!x.stream.send(greeting, sizeof greeting)) return x.refuse("send failed");
    unsigned char choice[2] = {};
    if (!x.readExactly(reinterpret_cast<char*>(choice), 2)) return false;
    if (choice[0] != 5 || choice[1] != 0) return x.refuse("proxy refused the no-authentication method");

    std::string request = {5, 1, 0, 3, static_cast<char>(host.size())};
    request += host;
    request += static_cast<char>(port >> 8);
    request += static_cast<char>(port & 0xFF);
    if (!x.stream.send(request.data(), request.size())) return x.refuse("send failed");
    unsigned char reply[4] = {};
    if (!x.readExactly(reinterpret_cast<char*>(reply), 4)) return false;
    if (reply[0] != 5) return x.refuse("not a SOCKS5 reply");
    if (reply[1] != 0) {
        x.detail = "proxy refused the connection (code " + std::to_string(reply[1]) + ")";
        return false;
    }
    // The bound address that follows is read and dropped.
    size_t rest = 0;
    if (reply[3] == 1) rest = 4 + 2;
    else if (reply[3] == 4) rest = 16 + 2;
    else if (reply[3] == 3) {
        unsigned char length = 0;
        if (!x.readExactly(reinterpret_cast<char*>(&length), 1)) return false;
        rest = length + 2u;
    } else {
        return x.refuse("unknown address type in the SOCKS reply");
    }
    char skip[258];
    return x.readExactly(skip, rest);
}

// "HTTP/1.x NNN ..." -> NNN, or 0.
int statusCode(const std::string& head) {
    if (head.compare(0, 7, "HTTP/1.") != 0 || head.size() < 12 || head[8] != ' ') return 0;
    int code = 0;
    for (size_t i = 9; i < 12; ++i) {
        if (head[i] < '0' || head[i] > '9') return 0;
        code = code * 10 + (head[i] - '0');
    }
    return code;
}

}  // namespace

FetchResult socksHttpGet(const ByteStream& stream, const std::string& host, uint16_t port, const std::string& path,
                         const FetchLimits& limits, const std::function<uint64_t()>& nowMs,
                         const std::function<bool()>& stop) {
    Exchange x{stream, limits, nowMs, stop, nowMs() + limits.timeoutMs, 0, std::string()};
    if (!socksConnect(x, host, port)) return failed(x.detail);

    const std::string request = "GET " + path + " HTTP/1.1\r\nHost: " + host +
                                "\r\nCache-Control: no-cache\r\nConnection: close\r\nUser-Agent: velmorante\r\n\r\n";
    if (!stream.send(request.data(), request.size())) return failed("send failed");

    // The head is read in small steps so that nothing past the cap is ever taken in.
    std::string head;
    size_t end = std::string::npos;
    char buffer[4096];
    while (end == std::string::npos) {
        if (head.size() >= limits.maxHeaderBytes) return failed("answer header too long");
        const size_t room = std::min(sizeof buffer, limits.maxHeaderBytes - head.size());
        const int n = x.readSome(buffer, room);
        if (n <= 0) return failed("no answer: " + x.detail);
        head.append(buffer, static_cast<size_t>(n));
        end = head.find("\r\n\r\n");
    }
    const int status = statusCode(head);
    if (status == 0) return failed("not an HTTP answer");
    if (status != 200) {
        FetchResult r = failed("answered " + std::to_string(status), status);
        r.outcome = FetchOutcome::NotOffered;
        return r;
    }
    size_t body = std::min(head.size() - (end + 4), limits.wantBodyBytes);
    if (limits.stallMs) x.stallDeadline = nowMs() + limits.stallMs;
    while (body < limits.wantBodyBytes) {
        const int n = x.readSome(buffer, std::min(sizeof buffer, limits.wantBodyBytes - body));
        if (n <= 0) return failed("body ended after " + std::to_string(body) + " bytes: " + x.detail, status, body);
        body += static_cast<size_t>(n);
    }
    FetchResult r;
    r.outcome = FetchOutcome::Ok;
    r.status = status;
    r.bodyBytes = body;
    return r;
}
