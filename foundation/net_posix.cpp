// The host's own sockets, for the native build (the tool and the native tests).
#include "foundation/net.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

bool startSockets() { return true; }

std::vector<std::string> resolveIPv4Addresses(const std::string& host) {
    std::vector<std::string> list;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0) return list;
    for (const addrinfo* r = found; r; r = r->ai_next) {
        if (r->ai_family != AF_INET || !r->ai_addr) continue;
        char text[64] = {};
        const auto* in = reinterpret_cast<const sockaddr_in*>(r->ai_addr);
        if (!inet_ntop(AF_INET, &in->sin_addr, text, sizeof text)) continue;
        if (std::find(list.begin(), list.end(), text) == list.end()) list.push_back(text);
    }
    freeaddrinfo(found);
    return list;
}

int32_t freeLocalPort() {
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    if (s < 0) return 0;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sockaddr_in bound{};
    socklen_t length = sizeof bound;
    if (bind(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        getsockname(s, reinterpret_cast<sockaddr*>(&bound), &length) != 0) {
        bound.sin_port = 0;
    }
    close(s);
    return ntohs(bound.sin_port);
}

namespace {

// One batch of at most kProbeBatchSize targets: every connect started, then one poll loop until
// each has answered or the batch's time is up.
void probeBatch(const std::vector<TcpTarget>& targets, size_t first, size_t end, uint32_t timeoutMs,
                std::vector<int32_t>& results) {
    std::vector<pollfd> fds;
    std::vector<size_t> owners;
    const auto t0 = std::chrono::steady_clock::now();
    const auto spentMs = [&t0] {
        return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
    };
    for (size_t i = first; i < end; ++i) {
        sockaddr_in target{};
        target.sin_family = AF_INET;
        target.sin_port = htons(targets[i].port);
        if (inet_pton(AF_INET, targets[i].address.c_str(), &target.sin_addr) != 1) continue;
        const int s = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP);
        if (s < 0) continue;
        connect(s, reinterpret_cast<const sockaddr*>(&target), sizeof target);
        fds.push_back({s, POLLOUT, 0});
        owners.push_back(i);
    }
    while (!fds.empty()) {
        const long long spent = spentMs();
        if (spent >= static_cast<long long>(timeoutMs)) break;
        const long long left = static_cast<long long>(timeoutMs) - spent;
        if (poll(fds.data(), fds.size(), static_cast<int>(std::min<long long>(left, 0x7FFFFFFF))) <= 0) break;
        const long long elapsed = spentMs();
        for (size_t k = 0; k < fds.size();) {
            if (fds[k].revents == 0) {
                ++k;
                continue;
            }
            int error = 0;
            socklen_t length = sizeof error;
            if (getsockopt(fds[k].fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) error = -1;
            if (error == 0 && (fds[k].revents & POLLOUT)) results[owners[k]] = elapsed < 2 ? 1 : static_cast<int32_t>(elapsed);
            close(fds[k].fd);
            fds.erase(fds.begin() + static_cast<std::ptrdiff_t>(k));
            owners.erase(owners.begin() + static_cast<std::ptrdiff_t>(k));
        }
    }
    for (const pollfd& p : fds) close(p.fd);
}

}  // namespace

std::vector<int32_t> probeTcpMany(const std::vector<TcpTarget>& targets, uint32_t interfaceIndex, uint32_t timeoutMs) {
    (void)interfaceIndex;  // binding to an adapter is a Windows matter
    std::vector<int32_t> results(targets.size(), -1);
    for (size_t first = 0; first < targets.size(); first += kProbeBatchSize) {
        probeBatch(targets, first, std::min(targets.size(), first + kProbeBatchSize), timeoutMs, results);
    }
    return results;
}

int32_t probeTcp(const std::string& address, uint16_t port, uint32_t interfaceIndex, uint32_t timeoutMs) {
    return probeTcpMany({{address, port}}, interfaceIndex, timeoutMs).front();
}

FetchResult fetchThroughSocks(uint16_t socksPort, const std::string& host, uint16_t port, const std::string& path,
                              const FetchLimits& limits, const std::function<bool()>& stop) {
    const auto nowMs = [] {
        return static_cast<uint64_t>(
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
                .count());
    };
    FetchResult r;
    const int s = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP);
    if (s < 0) {
        r.detail = "no socket";
        return r;
    }
    sockaddr_in proxy{};
    proxy.sin_family = AF_INET;
    proxy.sin_port = htons(socksPort);
    proxy.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connect(s, reinterpret_cast<const sockaddr*>(&proxy), sizeof proxy);
    ByteStream stream;
    stream.send = [s](const char* data, size_t size) {
        size_t sent = 0;
        for (int spins = 0; sent < size && spins < 100; ++spins) {
            pollfd p{s, POLLOUT, 0};
            if (poll(&p, 1, 100) <= 0) continue;
            const ssize_t n = ::send(s, data + sent, size - sent, MSG_NOSIGNAL);
            if (n < 0) return false;
            sent += static_cast<size_t>(n);
        }
        return sent == size;
    };
    stream.receive = [s](char* buffer, size_t size, uint32_t waitMs) {
        pollfd p{s, POLLIN, 0};
        const int ready = poll(&p, 1, static_cast<int>(waitMs));
        if (ready == 0) return -2;
        if (ready < 0) return -1;
        const ssize_t n = recv(s, buffer, size, 0);
        return n < 0 ? -1 : static_cast<int>(n);
    };
    r = socksHttpGet(stream, host, port, path, limits, nowMs, stop);
    close(s);
    return r;
}
