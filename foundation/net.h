// The program's sockets, IPv4 only: one Winsock start-up, one host lookup (for the TCP probe and
// for the HTTP client's address targets), a free local port, and a timed TCP connect.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// Starts Winsock 2.2 once for the whole process, from any thread (a no-op elsewhere). The
// operations below call it themselves; other socket users call it before their first socket.
// False when the start-up failed.
bool startSockets();

// Every IPv4 address of host as dotted text, in the resolver's order, each text once; empty when
// the host does not resolve (or has IPv6 addresses only). A dotted IPv4 text yields itself. The
// lookup is bounded by the platform resolver's own time-outs.
std::vector<std::string> resolveIPv4Addresses(const std::string& host);

// The host's first IPv4 address as dotted text, or host unchanged when it does not resolve.
inline std::string resolveIPv4(const std::string& host) {
    const std::vector<std::string> found = resolveIPv4Addresses(host);
    return found.empty() ? host : found.front();
}

// A TCP port on 127.0.0.1 that was free a moment ago, or 0.
int32_t freeLocalPort();

// Milliseconds a TCP connection to address:port took (at least 1), or -1 when it failed or did
// not complete within timeoutMs. address must be dotted IPv4; interfaceIndex 0 binds to nothing.
int32_t probeTcp(const std::string& address, uint16_t port, uint32_t interfaceIndex, uint32_t timeoutMs);

// A TCP endpoint to probe: a dotted IPv4 address and a port.
struct TcpTarget {
    std::string address;
    uint16_t port = 0;
};

inline constexpr size_t kProbeBatchSize = 32;

// One probeTcp per target, all at once: up to 32 non-blocking connects at a time, in the given
// order, watched by one wait of at most timeoutMs per batch. The results in the targets' order.
std::vector<int32_t> probeTcpMany(const std::vector<TcpTarget>& targets, uint32_t interfaceIndex, uint32_t timeoutMs);

// A GET through a local SOCKS5 proxy, read with caps: what the liveness check of a running tunnel
// asks of the sockets. The proxy is asked for the host by name (no authentication), so the name
// is resolved at the far end, never here.
struct FetchLimits {
    size_t wantBodyBytes = 64 * 1024;  // success once this many body bytes arrived; never read past it
    uint32_t timeoutMs = 8000;         // for the whole exchange, connect included
    // Once the body has begun, this long without a byte ends the exchange: a path frozen by an
    // inspecting middlebox delivers its first kilobytes and then nothing, and waiting out the whole
    // time cap would only delay the switch. 0: no such limit.
    uint32_t stallMs = 4000;
    size_t maxHeaderBytes = 8192;      // the answer's status line and headers together
    uint32_t sliceMs = 100;            // the longest single wait, so that a stop is seen in time
};

enum class FetchOutcome { Ok, Failed, NotOffered };

struct FetchResult {
    FetchOutcome outcome = FetchOutcome::Failed;
    int status = 0;          // the HTTP status when an answer's status line arrived
    size_t bodyBytes = 0;    // body bytes read (framing included), at most wantBodyBytes
    std::string detail;      // why it failed, for the log
};

// One connected byte stream as the fetch sees it. send: true when every byte went out. receive:
// up to size bytes within waitMs; >0 bytes read, 0 the peer closed, -1 an error, -2 nothing yet.
struct ByteStream {
    std::function<bool(const char* data, size_t size)> send;
    std::function<int(char* buffer, size_t size, uint32_t waitMs)> receive;
};

// The SOCKS5 greeting and CONNECT for host:port, then "GET path HTTP/1.1". A status other than 200
// is NotOffered; fewer than wantBodyBytes before the end, the time-out or the stop is Failed.
// nowMs is the caller's clock; stop (optional) is asked between waits.
FetchResult socksHttpGet(const ByteStream& stream, const std::string& host, uint16_t port, const std::string& path,
                         const FetchLimits& limits, const std::function<uint64_t()>& nowMs,
                         const std::function<bool()>& stop = nullptr);

// socksHttpGet over a TCP connection to 127.0.0.1:socksPort.
FetchResult fetchThroughSocks(uint16_t socksPort, const std::string& host, uint16_t port, const std::string& path,
                              const FetchLimits& limits, const std::function<bool()>& stop = nullptr);
