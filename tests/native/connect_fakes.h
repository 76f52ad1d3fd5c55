// A controller whose whole system seam is faked, for the connect procedure and the monitor loop:
// a fake clock that sleeping advances, scripted server probes and conflict answers, and a tunnel
// start and stop that record what they were given and whether the controller's lock was free.
#pragma once

#include <algorithm>
#include <atomic>
#include <deque>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "control/connect.h"
#include "control/monitor.h"
#include "tests/native/controller_fakes.h"
#include "tunnel/link.h"

namespace vlm_test {

inline std::string serverLink(const std::string& hostPort) { return "vless://id-1@" + hostPort + "?type=tcp#" + hostPort; }

struct ConnectRig {
    uint64_t nowMs = 1000000;
    uint64_t sleptMs = 0;
    std::function<void()> onSleep;  // runs after each sleep, e.g. to raise the stop flag
    std::function<void()> onProbeRound;  // runs after each round of server probes
    std::vector<std::string> logs;
    bool adapterFound = true;
    std::map<std::string, std::string> addresses{{"a.test", "198.18.0.1"}, {"b.test", "198.18.0.2"},
                                                 {"c.test", "198.18.0.3"}};
    std::map<std::string, std::deque<int32_t>> probeScript;  // by address; then probeDefault
    int32_t probeDefault = 20;
    std::vector<std::string> probes;  // "address:port" of each probe
    int underLock = 0;                // probes and tunnel starts made with the controller's lock held
    int badProbeArguments = 0;        // probes not over the adapter's interface or not with 1500 ms
    std::vector<ServiceProfile> started;
    std::string startFailure;
    int stops = 0;
    bool enginesAlive = true;
    std::deque<std::string> conflictScript;  // answers of detectConflict; then empty
    int conflictScans = 0;
    std::string engineLogReason;
    MemoryProfileSource documents;
    ProfileSource source = memoryProfileSource(documents);
    QueuedWorkers workers;
    NotifyProbe notes;
    TunnelController c{nullptr, 1, SystemOps{}};

    ConnectRig() {
        notes.controller = &c;
        c.onChanged = notes.callback();
        SystemOps& s = c.system;
        s.clock.nowMs = [this] { return nowMs; };
        s.clock.sleepMs = [this](uint32_t ms) {
            nowMs += ms;
            sleptMs += ms;
            if (onSleep) onSleep();
        };
        s.processes.startWorker = workers.starter();
        s.log = [this](const std::string& line) { logs.push_back(line); };
                s.adapters.findInternetAdapter = [this](std::string&, uint32_t& index) {
            index = 7;
            return adapterFound;
        };
        s.network.resolveIPv4 = [this](const std::string& host) {
            const auto found = addresses.find(host);
            return found == addresses.end() ? host : found->second;
        };
        // A round of probes takes as long as its slowest one; a failed probe waited its time-out.
        s.network.probeTcpMany = [this](const std::vector<TcpTarget>& targets, uint32_t index, uint32_t timeoutMs) {
            std::vector<int32_t> results;
            uint64_t slowest = 0;
            for (const TcpTarget& t : targets) {
                results.push_back(probe(t.address, t.port, index, timeoutMs));
                slowest = std::max<uint64_t>(slowest, results.back() < 0 ? timeoutMs : results.back());
            }
            nowMs += slowest;
            if (onProbeRound) onProbeRound();
            return results;
        };
        s.tunnel.start = [this](EngineState& engine, const ServiceProfile& p) {
            noteLock();
            started.push_back(p);
            if (!startFailure.empty()) return startFailure;
            VlessLink link;
            parseVlessLink(p.primaryLink, link);
            engine.serverAddress = link.host + ":" + std::to_string(link.port);
            engine.lastOkTick = nowMs;
            engine.liveness = Liveness::Unchecked;
            engine.running = true;
            return std::string();
        };
        s.tunnel.stop = [this](EngineState& engine) {
            ++stops;
            engine.running = false;
        };
        s.tunnel.enginesAlive = [this](const EngineState&) { return enginesAlive; };
        s.conflicts.detect = [this] {
            ++conflictScans;
            if (conflictScript.empty()) return std::string();
            std::string name = conflictScript.front();
            conflictScript.pop_front();
            return name;
        };
        s.tunnel.scanEngineLog = [this] { return engineLogReason; };
    }

    int32_t probe(const std::string& address, uint16_t port, uint32_t index, uint32_t timeoutMs) {
        noteLock();
        if (index != 7 || timeoutMs != 1500) ++badProbeArguments;
        probes.push_back(address + ":" + std::to_string(port));
        auto& script = probeScript[address];
        if (script.empty()) return probeDefault;
        const int32_t ms = script.front();
        script.pop_front();
        return ms;
    }

    void noteLock() {
        if (!c.lock.try_lock()) ++underLock;
        else c.lock.unlock();
    }

    void setProfile(std::vector<std::string> servers, TunnelMode mode = TunnelMode::System) {
        std::lock_guard<std::mutex> hold(c.lock);
        c.profile = ServiceProfile{};
        c.profile.mode = mode;
        c.profile.servers = std::move(servers);
        if (!c.profile.servers.empty()) c.profile.primaryLink = c.profile.servers.front();
        c.profileReady = true;
    }

    // A tunnel that the user connected and that came up on the first of the servers.
    void startRunning(const std::vector<std::string>& hostPorts) {
        std::vector<std::string> links;
        for (const std::string& h : hostPorts) links.push_back(serverLink(h));
        setProfile(links);
        c.wantConnected = true;
        runConnect(c);
    }

    // Passes of the monitor loop; the number of passes run until done() held, or n.
    MonitorState monitor;
    int runPasses(int n, const std::function<bool()>& done = nullptr) {
        for (int i = 1; i <= n; ++i) {
            monitorPass(c, source, monitor);
            if (done && done()) return i;
        }
        return n;
    }
};

// The same seam on real threads, for races: workers on detached threads that start late by up to
// 2 ms (as threads do on a busy machine, so that a stop started while the tunnel ran may land in
// a reconnect), a fake clock that sleeps a thousandth of the time it advances, and a tunnel start
// and stop that take a moment and count how many of each run at once. Every tunnel it starts is
// silent from the start, so the monitor switches servers on each pass that finds it running.
struct RacingRig {
    std::atomic<int> startsInside{0}, startsMax{0}, stopsInside{0}, stopsMax{0}, starts{0}, stops{0}, workers{0};
    std::atomic<uint64_t> nowMs{1000000};
    ProfileSource source;
    TunnelController c{[this] { std::lock_guard<std::mutex> snapshot(c.lock); }, 1, SystemOps{}};

    static void enter(std::atomic<int>& inside, std::atomic<int>& max) {
        const int n = ++inside;
        int seen = max.load();
        while (n > seen && !max.compare_exchange_weak(seen, n)) {
        }
    }

    RacingRig() {
        SystemOps& s = c.system;
        s.processes.startWorker = [this](std::function<void()> work) {
            const int delayUs = (++workers * 397) % 2000;
            std::thread([this, delayUs, work = std::move(work)] {
                std::this_thread::sleep_for(std::chrono::microseconds(delayUs));
                work();
                --workers;
            }).detach();
            return true;
        };
        s.clock.nowMs = [this] { return nowMs.load(); };
        s.clock.sleepMs = [this](uint32_t ms) {
            nowMs += ms;
            std::this_thread::sleep_for(std::chrono::microseconds(ms));
        };
        s.log = [](const std::string&) {};
                s.adapters.findInternetAdapter = [](std::string&, uint32_t& index) {
            index = 7;
            return true;
        };
        s.network.probeTcp = [](const std::string&, uint16_t, uint32_t, uint32_t) { return 20; };
        s.tunnel.start = [this](EngineState& engine, const ServiceProfile&) {
            enter(startsInside, startsMax);
            std::this_thread::sleep_for(std::chrono::microseconds(++starts % 2 ? 2000 : 300));
            engine.lastOkTick = 0;
            engine.running = true;
            --startsInside;
            return std::string();
        };
        s.tunnel.stop = [this](EngineState& engine) {
            enter(stopsInside, stopsMax);
            std::this_thread::sleep_for(std::chrono::microseconds(++stops % 3 ? 100 : 1000));
            engine.running = false;
            --stopsInside;
        };
        c.engine.serverAddress = "a.test:443";
        std::lock_guard<std::mutex> hold(c.lock);
        c.profile.servers = {serverLink("a.test:443"), serverLink("b.test:443")};
        c.profileReady = true;
    }
};

}  // namespace vlm_test
