// The program's sockets, IPv4 only: one Winsock start-up, one host lookup (for the TCP probe and
// for the HTTP client's address targets), a free local port, and a timed TCP connect.
#pragma once

#include <cstddef>
#include <cstdint>
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
