// The liveness fetch against scripted SOCKS5 proxies on loopback: every way the proxy or the page
// behind it can fail ends within the time cap and never reads past the byte caps.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "foundation/net.h"

namespace {

struct Step {
    std::string bytes;
    uint32_t pauseMs = 0;  // before the bytes
    int repeat = 1;
};

// One connection: answers the greeting and the CONNECT as scripted, reads the GET, then plays the
// steps and holds the connection open for holdMs before closing it.
struct ScriptedProxy {
    int listener = -1;
    uint16_t port = 0;
    std::string methodReply{5, 0};
    std::string connectReply{5, 0, 0, 1, 127, 0, 0, 1, 0, 80};
    std::vector<Step> steps;
    uint32_t holdMs = 0;
    std::string connectRequest;  // what the client asked for
    std::thread peer;

    ScriptedProxy() {
        listener = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof a;
        bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a);
        listen(listener, 1);
        getsockname(listener, reinterpret_cast<sockaddr*>(&a), &length);
        port = ntohs(a.sin_port);
    }
    ~ScriptedProxy() {
        if (peer.joinable()) peer.join();
        close(listener);
    }

    static std::string readSome(int s, size_t n) {
        std::string got(n, '\0');
        const ssize_t r = recv(s, got.data(), n, 0);
        got.resize(r > 0 ? static_cast<size_t>(r) : 0);
        return got;
    }

    void start() {
        peer = std::thread([this] {
            const int s = accept(listener, nullptr, nullptr);
            if (s < 0) return;
            timeval t{2, 0};
            setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &t, sizeof t);
            readSome(s, 3);
            send(s, methodReply.data(), methodReply.size(), MSG_NOSIGNAL);
            if (methodReply == std::string{5, 0}) {
                connectRequest = readSome(s, 300);
                send(s, connectReply.data(), connectReply.size(), MSG_NOSIGNAL);
                if (connectReply[1] == 0) {
                    readSome(s, 1000);  // the GET
                    for (const Step& step : steps) {
                        for (int i = 0; i < step.repeat; ++i) {
                            std::this_thread::sleep_for(std::chrono::milliseconds(step.pauseMs));
                            if (send(s, step.bytes.data(), step.bytes.size(), MSG_NOSIGNAL) < 0) break;
                        }
                    }
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(holdMs));
            close(s);
        });
    }
};

const std::string kOkHead = "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\n\r\n";

TEST(LivenessFetch, ScriptedProxiesEndBoundedAndCapped) {
    struct Row {
        const char* name;
        std::function<void(ScriptedProxy&)> script;
        FetchOutcome outcome;
        const char* detail;  // contained in the detail
        int status;
        size_t body;
    };
    const std::string kilo(1024, 'x');
    const Row rows[] = {
        {"page of 100 KiB, read to 64 KiB", [&](ScriptedProxy& p) { p.steps = {{kOkHead}, {kilo, 0, 100}}; },
         FetchOutcome::Ok, "", 200, 64 * 1024},
        {"head and body in one piece", [&](ScriptedProxy& p) { p.steps = {{kOkHead + std::string(70000, 'y')}}; },
         FetchOutcome::Ok, "", 200, 64 * 1024},
        {"no-authentication refused", [](ScriptedProxy& p) { p.methodReply = std::string{5, '\xFF'}; },
         FetchOutcome::Failed, "no-authentication", 0, 0},
        {"host unreachable", [](ScriptedProxy& p) { p.connectReply = std::string{5, 4, 0, 1, 0, 0, 0, 0, 0, 0}; },
         FetchOutcome::Failed, "code 4", 0, 0},
        {"connection refused, domain reply",
         [](ScriptedProxy& p) { p.connectReply = std::string{5, 5, 0, 3, 1, 'h', 0, 80}; }, FetchOutcome::Failed,
         "code 5", 0, 0},
        {"not found", [](ScriptedProxy& p) { p.steps = {{"HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n"}}; },
         FetchOutcome::NotOffered, "404", 404, 0},
        {"short body", [&](ScriptedProxy& p) { p.steps = {{kOkHead}, {kilo, 0, 16}}; }, FetchOutcome::Failed,
         "closed by the peer", 200, 16 * 1024},
        {"stall after the first 20 KiB", [&](ScriptedProxy& p) { p.steps = {{kOkHead}, {kilo, 0, 20}}; p.holdMs = 900; },
         FetchOutcome::Failed, "stalled", 200, 20 * 1024},
        {"silent proxy", [](ScriptedProxy& p) { p.methodReply.clear(); p.holdMs = 900; }, FetchOutcome::Failed,
         "timed out", 0, 0},
        {"oversize header",
         [](ScriptedProxy& p) { p.steps = {{"HTTP/1.1 200 OK\r\n"}, {"X-Pad: " + std::string(1000, 'p') + "\r\n", 0, 20}}; },
         FetchOutcome::Failed, "too long", 0, 0},
        {"slow drip past the time cap", [&](ScriptedProxy& p) { p.steps = {{kOkHead}, {kilo, 30, 40}}; },
         FetchOutcome::Failed, "timed out", 200, 0},
        {"garbage answer", [](ScriptedProxy& p) { p.steps = {{"SSH-2.0-x\r\n\r\n"}}; }, FetchOutcome::Failed,
         "not an HTTP", 0, 0},
    };
    FetchLimits limits;
    limits.timeoutMs = 500;
    limits.stallMs = 200;
    limits.sliceMs = 50;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ScriptedProxy proxy;
        row.script(proxy);
        proxy.start();
        const auto t0 = std::chrono::steady_clock::now();
        const FetchResult r = fetchThroughSocks(proxy.port, "ping.service.test", 80, "/api/v1/ping", limits);
        const auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0);
        EXPECT_EQ(r.outcome, row.outcome) << r.detail;
        EXPECT_NE(r.detail.find(row.detail), std::string::npos) << r.detail;
        EXPECT_EQ(r.status, row.status);
        if (row.body) {
            const bool exact = row.outcome == FetchOutcome::Ok;
            EXPECT_TRUE(exact ? r.bodyBytes == row.body : r.bodyBytes > 0 && r.bodyBytes <= row.body) << r.bodyBytes;
        }
        EXPECT_LE(r.bodyBytes, limits.wantBodyBytes);
        EXPECT_LT(spent.count(), 800);
        if (!proxy.connectRequest.empty()) {
            // CONNECT by name: the host goes to the proxy as text, port 80.
            const std::string expected = std::string{5, 1, 0, 3, 17} + "ping.service.test" + std::string{0, 80};
            EXPECT_EQ(proxy.connectRequest, expected);
        }
    }
    // A stop ends a stalled fetch within one slice; nothing listening fails at once.
    ScriptedProxy stalled;
    stalled.methodReply.clear();
    stalled.holdMs = 300;
    stalled.start();
    const auto t0 = std::chrono::steady_clock::now();
    std::atomic<int> asked{0};
    const FetchResult stopped =
        fetchThroughSocks(stalled.port, "h.test", 80, "/", limits, [&] { return ++asked > 2; });
    EXPECT_NE(stopped.detail.find("stopped"), std::string::npos) << stopped.detail;
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(400));
    ScriptedProxy closed;  // never started: accepts nothing after close
    const uint16_t unused = closed.port;
    close(closed.listener);
    closed.listener = socket(AF_INET, SOCK_STREAM, 0);
    EXPECT_EQ(fetchThroughSocks(unused, "h.test", 80, "/", limits).outcome, FetchOutcome::Failed);
}

}  // namespace
