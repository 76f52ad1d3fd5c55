#include "control/selection.h"

#include <algorithm>
#include <atomic>
#include <thread>

#include "tunnel/link.h"

namespace {

struct Candidate {
    const std::string* text = nullptr;
    VlessLink link;
    std::string address;
    int32_t bestMs = -1;
};

// Each host looked up on a few workers (the calling thread one of them), taking the next host in
// turn; a lookup is bounded by the resolver's own time-outs.
void resolveAll(const NetworkOps& network, std::vector<Candidate>& candidates) {
    std::atomic<size_t> next{0};
    const auto work = [&] {
        for (size_t i = next++; i < candidates.size(); i = next++) {
            candidates[i].address = network.resolveIPv4(candidates[i].link.host);
        }
    };
    std::vector<std::thread> helpers;
    const size_t workers = std::min(kResolveWorkers, candidates.size());
    for (size_t i = 1; i < workers; ++i) helpers.emplace_back(work);
    work();
    for (std::thread& t : helpers) t.join();
}

std::vector<int32_t> probeRound(const NetworkOps& network, const std::vector<TcpTarget>& targets, uint32_t index) {
    if (network.probeTcpMany) return network.probeTcpMany(targets, index, kServerProbeTimeoutMs);
    std::vector<int32_t> results;
    for (const TcpTarget& t : targets) results.push_back(network.probeTcp(t.address, t.port, index, kServerProbeTimeoutMs));
    return results;
}

}  // namespace

std::string selectServer(const NetworkOps& network, const LogSink& log, const std::vector<std::string>& servers,
                         uint32_t interfaceIndex, const std::function<bool()>& stopped,
                         const std::function<bool(const std::string& link)>& skipped) {
    std::vector<Candidate> candidates;
    for (const std::string& text : servers) {
        Candidate c;
        c.text = &text;
        if (parseVlessLink(text, c.link)) candidates.push_back(std::move(c));
    }
    if (stopped && stopped()) return std::string();
    resolveAll(network, candidates);
    std::vector<TcpTarget> targets;
    for (const Candidate& c : candidates) targets.push_back({c.address, static_cast<uint16_t>(c.link.port)});

    for (int round = 0; round < kServerProbeRounds; ++round) {
        if (stopped && stopped()) return std::string();
        const std::vector<int32_t> results = probeRound(network, targets, interfaceIndex);
        for (size_t i = 0; i < candidates.size() && i < results.size(); ++i) {
            int32_t& best = candidates[i].bestMs;
            if (results[i] >= 0 && (best < 0 || results[i] < best)) best = results[i];
        }
    }

    const Candidate* chosen = nullptr;
    const Candidate* fastest = nullptr;
    for (const Candidate& c : candidates) {
        log("server " + c.link.host + ": " + (c.bestMs < 0 ? std::string("unreachable") : std::to_string(c.bestMs) + " ms"));
        if (c.bestMs < 0) continue;
        if (!fastest || c.bestMs < fastest->bestMs) fastest = &c;
        if (skipped && skipped(*c.text)) {
            log("server " + c.link.host + " passed over: it carried no traffic a short while ago");
        } else if (!chosen || c.bestMs < chosen->bestMs) {
            chosen = &c;
        }
    }
    if (!chosen) chosen = fastest;
    return chosen ? *chosen->text : std::string();
}

bool selectionStopped(TunnelController& c) {
    if (c.stopFlag || c.engine.cancel) return true;
    std::lock_guard<std::mutex> hold(c.lock);
    return c.phase != TunnelPhase::Connecting;
}

std::string chooseServer(TunnelController& c, const std::vector<std::string>& servers) {
    if (servers.size() < 2) return servers.empty() ? std::string() : servers.front();
    std::string adapterName;
    uint32_t interfaceIndex = 0;
    if (!c.system.adapters.findInternetAdapter(adapterName, interfaceIndex)) return servers.front();
    const uint64_t now = c.system.clock.nowMs();
    const auto skipped = [&c, now](const std::string& link) {
        NoTrafficServers& list = c.engine.noTraffic;
        std::lock_guard<std::mutex> hold(list.lock);
        const auto found = list.until.find(link);
        return found != list.until.end() && now < found->second;
    };
    return selectServer(c.system.network, c.system.log, servers, interfaceIndex, [&c] { return selectionStopped(c); },
                        skipped);
}
