// The network group of the seams: what the tunnel start, its health probe and the server choice
// ask of the sockets. The program fills it with foundation's socket functions (resolveIPv4,
// freeLocalPort, probeTcp, probeTcpMany, fetchThroughSocks); tests script it. Each default finds nothing.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "foundation/net.h"

struct NetworkOps {
    // The host's first IPv4 address as dotted text, or the host unchanged (default: unchanged).
    std::function<std::string(const std::string& host)> resolveIPv4 = [](const std::string& host) { return host; };
    // A TCP port on 127.0.0.1 that was free a moment ago, or 0 (default: 0).
    std::function<int32_t()> freeLocalPort = [] { return int32_t{0}; };
    // Milliseconds to connect to the dotted address over the interface (0 = unbound), at least 1;
    // -1 on failure or after timeoutMs (default: -1).
    std::function<int32_t(const std::string& address, uint16_t port, uint32_t interfaceIndex, uint32_t timeoutMs)>
        probeTcp = [](const std::string&, uint16_t, uint32_t, uint32_t) { return int32_t{-1}; };
    // probeTcp for every target at once, results in the targets' order (default: none, and the
    // callers then run probeTcp for one target after another).
    std::function<std::vector<int32_t>(const std::vector<TcpTarget>& targets, uint32_t interfaceIndex, uint32_t timeoutMs)>
        probeTcpMany;
    // fetchThroughSocks (default: fails at once).
    std::function<FetchResult(uint16_t socksPort, const std::string& host, uint16_t port, const std::string& path,
                              const FetchLimits& limits, const std::function<bool()>& stop)>
        fetchThroughSocks = [](uint16_t, const std::string&, uint16_t, const std::string&, const FetchLimits&,
                               const std::function<bool()>&) {
            FetchResult r;
            r.detail = "no sockets";
            return r;
        };
};
