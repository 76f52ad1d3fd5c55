// Times startTunnel and stopTunnel with the real Windows operations and the stand-in engines
// unpacked from this program's resources (plain SOCKS mode, ready at once), and separates the
// procedure's own cost from its prescribed pauses (the sleeps of its polling loops). Runs inside
// the namespace bench/tunnel_bench.sh builds; VLM_TUNNEL_SERVER is the link to start with.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tunnel/engine_files.h"
#include "foundation/net.h"
#include "tunnel/tunnel.h"

namespace {

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

double nowMs() {
    LARGE_INTEGER f, c;
    QueryPerformanceFrequency(&f);
    QueryPerformanceCounter(&c);
    return 1000.0 * static_cast<double>(c.QuadPart) / static_cast<double>(f.QuadPart);
}

}  // namespace

int main() {
    const char* link = std::getenv("VLM_TUNNEL_SERVER");
    if (!link) {
        std::fprintf(stderr, "tunnel_bench: VLM_TUNNEL_SERVER is not set\n");
        return 2;
    }
    startSockets();
    if (!ensureEngineFiles().empty()) {
        std::fprintf(stderr, "tunnel_bench: the engines cannot be unpacked\n");
        return 1;
    }
    double slept = 0;
    TunnelOps ops = windowsTunnelOps();
    ops.clock.sleepMs = [&](uint32_t ms) {
        const double t0 = nowMs();
        Sleep(ms);
        slept += nowMs() - t0;
    };
    const TunnelRequest request{TunnelMode::System, {}, link, ""};
    std::vector<double> starts, stops, overheads;
    const int runs = 10;
    for (int i = 0; i < runs; ++i) {
        EngineState state;
        slept = 0;
        const double t0 = nowMs();
        const std::string message = startTunnel(state, request, ops);
        const double started = nowMs();
        if (!message.empty()) {
            std::fprintf(stderr, "tunnel_bench: start failed\n");
            stopTunnel(state, ops);
            return 1;
        }
        const double pauses = slept;
        stopTunnel(state, ops);
        const double stopped = nowMs();
        starts.push_back(started - t0);
        overheads.push_back(started - t0 - pauses);
        stops.push_back(stopped - started);
    }
    auto row = [](const char* what, const std::vector<double>& v) {
        std::printf("%-34s min %8.1f ms   median %8.1f ms\n", what, *std::min_element(v.begin(), v.end()), median(v));
    };
    std::printf("tunnel start and stop under Wine, %d runs, stand-ins ready at once\n", runs);
    row("startTunnel wall time", starts);
    row("startTunnel own overhead", overheads);
    row("stopTunnel wall time", stops);
    std::printf("goal: own overhead <= 250 ms (median %s)\n", median(overheads) <= 250 ? "met" : "NOT met");
    return 0;
}
