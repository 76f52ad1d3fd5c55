// Winsock for the whole program: started once here, used by the probes and the HTTP client.
#include "foundation/net.h"

#include "foundation/text.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <algorithm>
#include <mutex>

bool startSockets() {
    static std::once_flag once;
    static bool started = false;
    std::call_once(once, [] {
        WSADATA data{};
        started = WSAStartup(MAKEWORD(2, 2), &data) == 0;
    });
    return started;
}

std::vector<std::string> resolveIPv4Addresses(const std::string& host) {
    std::vector<std::string> list;
    if (!startSockets()) return list;
    ADDRINFOW hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    ADDRINFOW* found = nullptr;
    // The wide lookup, so that a name outside the ANSI code page reaches the resolver intact.
    if (GetAddrInfoW(utf8ToWide(host).c_str(), nullptr, &hints, &found) != 0) return list;
    for (const ADDRINFOW* r = found; r; r = r->ai_next) {
        if (r->ai_family != AF_INET || !r->ai_addr) continue;
        wchar_t text[64] = {};
        const auto* in = reinterpret_cast<const sockaddr_in*>(r->ai_addr);
        if (!InetNtopW(AF_INET, &in->sin_addr, text, 64)) continue;
        const std::string address = wideToUtf8(text);
        if (std::find(list.begin(), list.end(), address) == list.end()) list.push_back(address);
    }
    FreeAddrInfoW(found);
    return list;
}

int32_t freeLocalPort() {
    startSockets();
    const SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    if (s == INVALID_SOCKET) return 0;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    sockaddr_in bound{};
    int length = sizeof bound;
    if (bind(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        getsockname(s, reinterpret_cast<sockaddr*>(&bound), &length) != 0) {
        bound.sin_port = 0;
    }
    closesocket(s);
    return ntohs(bound.sin_port);
}

namespace {

struct PendingProbe {
    size_t index = 0;
    SOCKET s = INVALID_SOCKET;
};

// One batch of at most kProbeBatchSize targets (below FD_SETSIZE): every connect started, then
// one select loop until each has answered or the batch's time is up.
void probeBatch(const std::vector<TcpTarget>& targets, size_t first, size_t end, uint32_t interfaceIndex,
                uint32_t timeoutMs, std::vector<int32_t>& results) {
    std::vector<PendingProbe> pending;
    const ULONGLONG t0 = GetTickCount64();
    for (size_t i = first; i < end; ++i) {
        sockaddr_in target{};
        target.sin_family = AF_INET;
        target.sin_port = htons(targets[i].port);
        // A host name is no address: probing it fails rather than resolving behind the caller's back.
        if (inet_pton(AF_INET, targets[i].address.c_str(), &target.sin_addr) != 1) continue;
        const SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        if (s == INVALID_SOCKET) continue;
        if (interfaceIndex != 0) {
            // IP_UNICAST_IF takes the index in network byte order for IPv4.
            const DWORD index = htonl(interfaceIndex);
            setsockopt(s, IPPROTO_IP, IP_UNICAST_IF, reinterpret_cast<const char*>(&index), sizeof index);
        }
        u_long nonBlocking = 1;
        ioctlsocket(s, FIONBIO, &nonBlocking);
        connect(s, reinterpret_cast<const sockaddr*>(&target), sizeof target);
        pending.push_back({i, s});
    }
    while (!pending.empty()) {
        const ULONGLONG spent = GetTickCount64() - t0;
        if (spent >= timeoutMs) break;
        const ULONGLONG left = timeoutMs - spent;
        fd_set writable, failed;
        FD_ZERO(&writable);
        FD_ZERO(&failed);
        for (const PendingProbe& p : pending) {
            FD_SET(p.s, &writable);
            FD_SET(p.s, &failed);  // Winsock reports a refused connect here
        }
        timeval wait{};
        wait.tv_sec = static_cast<long>(left / 1000);
        wait.tv_usec = static_cast<long>((left % 1000) * 1000);
        if (select(0, nullptr, &writable, &failed, &wait) <= 0) break;
        const ULONGLONG elapsed = GetTickCount64() - t0;
        for (size_t k = 0; k < pending.size();) {
            const PendingProbe p = pending[k];
            const bool done = FD_ISSET(p.s, &writable), refused = FD_ISSET(p.s, &failed);
            if (!done && !refused) {
                ++k;
                continue;
            }
            int error = 0;
            int length = sizeof error;
            if (getsockopt(p.s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) != 0) error = -1;
            if (done && !refused && error == 0) results[p.index] = elapsed < 2 ? 1 : static_cast<int32_t>(elapsed);
            closesocket(p.s);
            pending.erase(pending.begin() + static_cast<std::ptrdiff_t>(k));
        }
    }
    for (const PendingProbe& p : pending) closesocket(p.s);
}

}  // namespace

std::vector<int32_t> probeTcpMany(const std::vector<TcpTarget>& targets, uint32_t interfaceIndex, uint32_t timeoutMs) {
    std::vector<int32_t> results(targets.size(), -1);
    if (!startSockets()) return results;
    for (size_t first = 0; first < targets.size(); first += kProbeBatchSize) {
        probeBatch(targets, first, std::min(targets.size(), first + kProbeBatchSize), interfaceIndex, timeoutMs,
                   results);
    }
    return results;
}

int32_t probeTcp(const std::string& address, uint16_t port, uint32_t interfaceIndex, uint32_t timeoutMs) {
    return probeTcpMany({{address, port}}, interfaceIndex, timeoutMs).front();
}

FetchResult fetchThroughSocks(uint16_t socksPort, const std::string& host, uint16_t port, const std::string& path,
                              const FetchLimits& limits, const std::function<bool()>& stop) {
    FetchResult r;
    if (!startSockets()) {
        r.detail = "no sockets";
        return r;
    }
    const SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) {
        r.detail = "no socket";
        return r;
    }
    u_long nonBlocking = 1;
    ioctlsocket(s, FIONBIO, &nonBlocking);
    sockaddr_in proxy{};
    proxy.sin_family = AF_INET;
    proxy.sin_port = htons(socksPort);
    proxy.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connect(s, reinterpret_cast<const sockaddr*>(&proxy), sizeof proxy);
    // Waits for the socket to be readable (or writable) for at most waitMs; a refused connect
    // shows up as an error here.
    const auto wait = [s](bool forWrite, uint32_t waitMs) {
        fd_set ready, failed;
        FD_ZERO(&ready);
        FD_ZERO(&failed);
        FD_SET(s, &ready);
        FD_SET(s, &failed);
        timeval t{};
        t.tv_sec = static_cast<long>(waitMs / 1000);
        t.tv_usec = static_cast<long>((waitMs % 1000) * 1000);
        const int n = forWrite ? select(0, nullptr, &ready, &failed, &t) : select(0, &ready, nullptr, &failed, &t);
        if (n < 0 || FD_ISSET(s, &failed)) return -1;
        return n == 0 ? 0 : 1;
    };
    ByteStream stream;
    stream.send = [s, wait](const char* data, size_t size) {
        size_t sent = 0;
        for (int spins = 0; sent < size && spins < 100; ++spins) {
            const int ready = wait(true, 100);
            if (ready < 0) return false;
            if (ready == 0) continue;
            const int n = ::send(s, data + sent, static_cast<int>(size - sent), 0);
            if (n == SOCKET_ERROR) {
                if (WSAGetLastError() == WSAEWOULDBLOCK) continue;
                return false;
            }
            sent += static_cast<size_t>(n);
        }
        return sent == size;
    };
    stream.receive = [s, wait](char* buffer, size_t size, uint32_t waitMs) {
        const int ready = wait(false, waitMs);
        if (ready == 0) return -2;
        if (ready < 0) return -1;
        const int n = recv(s, buffer, static_cast<int>(size), 0);
        if (n == SOCKET_ERROR) return WSAGetLastError() == WSAEWOULDBLOCK ? -2 : -1;
        return n;
    };
    r = socksHttpGet(stream, host, port, path, limits, [] { return static_cast<uint64_t>(GetTickCount64()); }, stop);
    closesocket(s);
    return r;
}
