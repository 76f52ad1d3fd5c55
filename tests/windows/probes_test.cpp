// Probes against listeners the test opens on 127.0.0.1. The cases named ProbesDropping run only
// inside the network namespace that scripts/test.d/31-probe-timeout builds: it sets
// VLM_PROBE_DROP_PORT (and VLM_PROBE_DROP_ADDRESS, 127.0.0.1 by default), and connection attempts
// to that address and port are silently dropped there.
#include "foundation/net.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

struct Listener {
    SOCKET s = INVALID_SOCKET;
    uint16_t port = 0;
    explicit Listener(int backlog, uint16_t wanted = 0) {
        startSockets();
        s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(wanted);
        int length = sizeof a;
        if (s == INVALID_SOCKET || bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
            listen(s, backlog) != 0 || getsockname(s, reinterpret_cast<sockaddr*>(&a), &length) != 0) {
            return;
        }
        port = ntohs(a.sin_port);
    }
    ~Listener() {
        if (s != INVALID_SOCKET) closesocket(s);
    }
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;
};

// A port that nothing listens on: taken from the system, then released.
uint16_t closedPort() { return static_cast<uint16_t>(freeLocalPort()); }

uint16_t dropPort() {
    const char* v = std::getenv("VLM_PROBE_DROP_PORT");
    return v ? static_cast<uint16_t>(std::atoi(v)) : 0;
}

std::string dropAddress() {
    const char* v = std::getenv("VLM_PROBE_DROP_ADDRESS");
    return v && *v ? v : "127.0.0.1";
}

}  // namespace

TEST(ProbesResolve, AddressesAndLocalNames) {
    EXPECT_EQ(resolveIPv4("127.0.0.1"), "127.0.0.1");
    EXPECT_EQ(resolveIPv4("203.0.113.45"), "203.0.113.45");  // a literal is not looked up on the network
    EXPECT_EQ(resolveIPv4("localhost"), "127.0.0.1");
}

TEST(ProbesPort, FreeLocalPortIsBindable) {
    const int32_t port = freeLocalPort();
    ASSERT_GT(port, 0);
    ASSERT_LE(port, 65535);
    Listener l(4, static_cast<uint16_t>(port));
    EXPECT_EQ(l.port, port);
}

TEST(ProbesTcp, ListeningClosedAndNames) {
    Listener l(8);
    ASSERT_NE(l.port, 0);
    for (uint32_t index : {0u, 1u}) {  // the interface binding is accepted (Wine ignores it)
        EXPECT_GE(probeTcp("127.0.0.1", l.port, index, 1500), 1) << index;
    }

    // A refusal and an address that is no dotted IPv4 fail without waiting for the long time-out;
    // the bound only tells that wait from a slow machine.
    constexpr uint32_t kLongMs = 20000;
    const uint16_t closed = closedPort();
    ASSERT_NE(closed, 0);
    const ULONGLONG t0 = GetTickCount64();
    EXPECT_EQ(probeTcp("127.0.0.1", closed, 0, kLongMs), -1);
    EXPECT_LT(GetTickCount64() - t0, kLongMs / 2) << "a refused connection waited for the timeout";

    for (const char* bad : {"localhost", "", "127.0.0", "127.0.0.1 ", "999.1.1.1"}) {
        const ULONGLONG t1 = GetTickCount64();
        EXPECT_EQ(probeTcp(bad, l.port, 0, kLongMs), -1) << bad;
        EXPECT_LT(GetTickCount64() - t1, kLongMs / 2) << bad;
    }
}

// Every target at once, across two batches: answers come in the targets' order, and the whole
// call waits one time-out at most (a dropped target, inside the dropping namespace), not one each.
TEST(ProbesTcp, ManyAtOnce) {
    Listener l(64);
    ASSERT_NE(l.port, 0);
    const uint16_t closed = closedPort();
    const uint16_t dropped = dropPort();
    std::unique_ptr<Listener> behindDrop;
    if (dropped != 0 && dropAddress() == "127.0.0.1") behindDrop = std::make_unique<Listener>(8, dropped);
    std::vector<TcpTarget> targets = {{"127.0.0.1", l.port}, {"127.0.0.1", closed}, {"localhost", l.port}};
    if (dropped != 0) targets.push_back({dropAddress(), dropped});
    while (targets.size() < kProbeBatchSize + 4) targets.push_back({"127.0.0.1", l.port});

    const uint32_t timeoutMs = dropped != 0 ? 1200 : 20000;
    const ULONGLONG t0 = GetTickCount64();
    const std::vector<int32_t> results = probeTcpMany(targets, 0, timeoutMs);
    const ULONGLONG elapsed = GetTickCount64() - t0;
    ASSERT_EQ(results.size(), targets.size());
    for (size_t i = 0; i < targets.size(); ++i) {
        const bool answers = targets[i].address == "127.0.0.1" && targets[i].port == l.port;
        EXPECT_EQ(results[i] >= 1, answers) << i << ": " << results[i];
    }
    if (dropped != 0) {
        EXPECT_GE(elapsed + 20, timeoutMs) << "returned before the dropped target's time-out";
    }
    EXPECT_LT(elapsed, dropped != 0 ? timeoutMs + 5000u : timeoutMs / 2);
}

TEST(ProbesDropping, SilentDropTimesOut) {
    const uint16_t port = dropPort();
    if (port == 0) GTEST_SKIP() << "needs the dropping namespace of scripts/test.d/31-probe-timeout";
    const std::string address = dropAddress();
    // On loopback our own host is listening behind the drop rule; only the packets never arrive.
    Listener l(8, address == "127.0.0.1" ? port : 0);
    ASSERT_NE(l.port, 0);
    for (uint32_t timeoutMs : {300u, 1200u}) {
        const ULONGLONG t0 = GetTickCount64();
        EXPECT_EQ(probeTcp(address, port, 0, timeoutMs), -1);
        const ULONGLONG elapsed = GetTickCount64() - t0;
        EXPECT_GE(elapsed + 20, timeoutMs) << "returned before the timeout";
        EXPECT_LT(elapsed, timeoutMs + 5000u) << "blocked past the timeout";  // a hang, not a slow machine
    }
    // Other ports of the same host still answer at once.
    Listener open(8);
    EXPECT_GE(probeTcp("127.0.0.1", open.port, 0, 1200), 1);
}

TEST(ProbesDropping, NamesResolvedFromTheNamespaceHosts) {
    if (dropPort() == 0) GTEST_SKIP() << "needs the dropping namespace of scripts/test.d/31-probe-timeout";
    EXPECT_EQ(resolveIPv4("peer.velmorante.test"), "127.0.0.9");
    EXPECT_EQ(resolveIPv4("v6only.velmorante.test"), "v6only.velmorante.test");  // IPv6 only: unchanged
    EXPECT_EQ(resolveIPv4("absent.velmorante.test"), "absent.velmorante.test");
}

// The liveness fetch over Winsock: a scripted SOCKS5 proxy on a thread answers the greeting and
// the CONNECT, then the page as the row says: the stream's data and its waits; the protocol's
// answers and failures are covered natively.
TEST(ProbesFetch, ThroughAScriptedSocksProxy) {
    struct Row {
        const char* name;
        std::string answer;  // after the CONNECT reply
        uint32_t holdMs;     // the connection stays open this long afterwards
        FetchOutcome outcome;
        size_t body;
    };
    const std::string okHead = "HTTP/1.1 200 OK\r\nContent-Length: 70000\r\n\r\n";
    const Row rows[] = {
        {"a page past 64 KiB", okHead + std::string(70000, 'z'), 0, FetchOutcome::Ok, 65536},
        {"stall after 20 000 bytes", okHead + std::string(20000, 'z'), 1200, FetchOutcome::Failed, 20000},
    };
    FetchLimits limits;
    limits.timeoutMs = 600;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Listener proxy(1);
        ASSERT_NE(proxy.port, 0);
        std::string request;
        std::thread peer([&] {
            const SOCKET s = accept(proxy.s, nullptr, nullptr);
            if (s == INVALID_SOCKET) return;
            const DWORD wait = 2000;
            setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&wait), sizeof wait);
            char buffer[512];
            recv(s, buffer, 3, 0);
            send(s, "\x05\x00", 2, 0);
            const int n = recv(s, buffer, sizeof buffer, 0);
            if (n > 0) request.assign(buffer, static_cast<size_t>(n));
            send(s, "\x05\x00\x00\x01\x7f\x00\x00\x01\x00\x50", 10, 0);
            recv(s, buffer, sizeof buffer, 0);  // the GET
            send(s, row.answer.data(), static_cast<int>(row.answer.size()), 0);
            Sleep(row.holdMs);
            closesocket(s);
        });
        const FetchResult r = fetchThroughSocks(proxy.port, "ping.service.test", 80, "/api/v1/ping", limits);
        peer.join();
        EXPECT_EQ(r.outcome, row.outcome) << r.detail;
        EXPECT_EQ(r.bodyBytes, row.body);
        EXPECT_EQ(request, std::string("\x05\x01\x00\x03\x11ping.service.test\x00\x50", 24));
    }
    EXPECT_EQ(fetchThroughSocks(closedPort(), "h.test", 80, "/", limits).outcome, FetchOutcome::Failed);
}
