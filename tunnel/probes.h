// Small IPv4 socket operations: host lookup, a free local port, and a timed TCP connect.
#pragma once

#include <cstdint>
#include <string>

// Starts Winsock 2.2 once for the whole program (a no-op elsewhere). The operations below call it
// themselves; it is exposed for other socket users. False when the start-up failed.
bool startSockets();

// The host's first IPv4 address as dotted text, or host unchanged when it does not resolve.
std::string resolveIPv4(const std::string& host);

// A TCP port on 127.0.0.1 that was free a moment ago, or 0.
int32_t freeLocalPort();

// Milliseconds a TCP connection to address:port took (at least 1), or -1 when it failed or did
// not complete within timeoutMs. address must be dotted IPv4; interfaceIndex 0 binds to nothing.
int32_t probeTcp(const std::string& address, uint16_t port, uint32_t interfaceIndex, uint32_t timeoutMs);
