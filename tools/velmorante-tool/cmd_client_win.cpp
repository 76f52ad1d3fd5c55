// The headless client: the same controller, connect procedure, monitor loop and tunnel as the
// program, without the window. One JSON line per controller notification on standard output.
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <mutex>
#include <thread>

#include "conflicts/adapters.h"
#include "control/connect.h"
#include "control/controller.h"
#include "control/monitor.h"
#include "control/profile.h"
#include "control/profile_source.h"
#include "foundation/json.h"
#include "foundation/log.h"
#include "foundation/text.h"
#include "shell/bridge.h"
#include "tools/velmorante-tool/tool.h"
#include "tunnel/tunnel.h"

namespace {

constexpr uint32_t kProfileWaitMs = 30000;        // for the service's first answer
constexpr uint32_t kMonitorStopWaitMs = 60000;    // a reconnect under way is finished first

std::atomic<bool> quitRequested{false};

BOOL WINAPI onConsoleEvent(DWORD event) {
    if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT || event == CTRL_CLOSE_EVENT) {
        quitRequested = true;
        return TRUE;
    }
    return FALSE;
}

// The snapshot's values, and the routes while running.
std::string stateLine(TunnelController& c) {
    std::lock_guard<std::mutex> hold(c.lock);
    const bool running = c.phase == TunnelPhase::Running;
    JsonValue line(JsonKind::Object);
    line["phase"] = phaseName(c.phase);
    line["status"] = c.status;
    line["error"] = c.error;
    line["alert"] = c.alert;
    line["server"] = running ? c.engine.serverAddress : serverFromLink(c.profile.primaryLink);
    line["ping"] = running ? c.engine.latencyMs.load() : int32_t{-1};
    if (running) {
        JsonValue& routes = line["routes"];
        routes = JsonValue(JsonKind::Array);
        for (const RoutePort& r : c.engine.routes) {
            JsonValue route(JsonKind::Object);
            route["tag"] = r.tag;
            route["socksPort"] = r.socksPort;
            routes.push(std::move(route));
        }
    }
    return writeJson(line);
}

bool readDocumentFile(const std::string& path, JsonValue& document, std::string& reason) {
    std::ifstream in(utf8ToWide(path).c_str(), std::ios::binary);
    if (!in) {
        reason = "cannot read " + path;
        return false;
    }
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!parseJson(text, document) || document.kind != JsonKind::Object) {
        reason = path + ": not a service document (invalid JSON)";
        return false;
    }
    return true;
}

}  // namespace

int runConnect(const ToolArgs& given) {
    // --refresh SECONDS: how often the service is asked (default every 5 minutes).
    ToolArgs args = given;
    ProfileSourceSettings settings;
    if (args.size() >= 2 && args[0] == "--refresh") {
        const std::string& seconds = args[1];
        if (seconds.empty() || seconds.size() > 6 || seconds.find_first_not_of("0123456789") != std::string::npos ||
            std::stoul(seconds) == 0) {
            return usageError("connect");
        }
        settings.refreshMs = std::stoul(seconds) * 1000ull;
        args.erase(args.begin(), args.begin() + 2);
    }
    if (args.size() > 1) return usageError("connect");
    JsonValue document;
    if (args.size() == 1) {
        std::string reason;
        if (!readDocumentFile(args[0], document, reason)) {
            writeError(reason);
            return kExitUsage;
        }
    }

    std::mutex outputLock;
    std::atomic<bool> everRunning{false};
    TunnelController* published = nullptr;
    auto printState = [&] {
        if (!published) return;
        const std::string line = stateLine(*published);
        if (line.find("\"phase\":\"running\"") != std::string::npos) everRunning = true;
        std::lock_guard<std::mutex> hold(outputLock);
        writeStandardOutput(line + "\n");
    };
    auto* controller = new TunnelController(printState, GetCurrentThreadId(), windowsSystemOps(windowsTunnelOps()));
    TunnelController& c = *controller;
    published = controller;

    // The documents: the given one only, or the service's through the profile worker.
    MemoryProfileSource memory;
    ProfileWorker worker;
    ProfileSource source;
    if (args.size() == 1) {
        offerDocument(memory, document);
        source = memoryProfileSource(memory);
    } else {
        if (!startProfileWorker(worker, settings)) {
            writeError("cannot start the profile worker");
            return kExitFailed;
        }
        source = profileSourceOf(worker.state);
    }

    SetConsoleCtrlHandler(onConsoleEvent, TRUE);
    std::atomic<bool> monitorDone{false};
    std::thread monitor([&] {
        monitorLoop(c, source);
        monitorDone = true;
    });
    std::thread([] {
        char buf[256];
        while (std::fread(buf, 1, sizeof buf, stdin) > 0) {
        }
        quitRequested = true;
    }).detach();

    // Connect once the monitor has taken a document, as the program's autostart does.
    const ULONGLONG profileDeadline = GetTickCount64() + kProfileWaitMs;
    bool ready = false;
    while (!quitRequested && GetTickCount64() < profileDeadline) {
        {
            std::lock_guard<std::mutex> hold(c.lock);
            ready = c.profileReady;
        }
        if (ready) break;
        Sleep(100);
    }
    if (ready && !quitRequested) {
        c.wantConnected = true;
        runConnect(c);
    } else if (!ready) {
        writeError("no service document within " + std::to_string(kProfileWaitMs / 1000) + " s");
    }
    while (!quitRequested) Sleep(100);

    // The monitor first, so that it reconnects nothing behind the stop; then the tunnel.
    c.wantConnected = false;
    c.retryAt = 0;
    c.stopFlag = true;
    const ULONGLONG monitorDeadline = GetTickCount64() + kMonitorStopWaitMs;
    while (!monitorDone && GetTickCount64() < monitorDeadline) Sleep(50);
    c.disconnect(kStatusDisconnected, false);
    if (args.empty()) stopProfileWorker(worker, kProfileWorkerStopWaitMs);
    printState();
    const int code = everRunning ? kExitOk : kExitFailed;
    if (!monitorDone) {
        // Still inside a reconnect: the process ends, and the job's close ends its engines.
        std::fflush(stdout);
        ExitProcess(static_cast<UINT>(code));
    }
    monitor.join();
    published = nullptr;
    delete controller;
    return code;
}

int runServers(const ToolArgs& args) {
    if (args.size() != 1) return usageError("servers");
    JsonValue document;
    std::string reason;
    if (!readDocumentFile(args[0], document, reason)) {
        writeError(reason);
        return kExitUsage;
    }
    const ServiceProfile profile = parseProfile(document);
    const TunnelOps system = windowsTunnelOps();
    std::string adapterName;
    uint32_t interfaceIndex = 0;
    if (!system.adapters.findInternetAdapter(adapterName, interfaceIndex)) {
        writeStandardOutput("no Internet adapter: the probes are not bound\n");
    }
    const std::string chosen = selectServer(system.network, [](const std::string& line) { writeStandardOutput(line + "\n"); },
                                            profile.servers, interfaceIndex);
    writeStandardOutput((chosen.empty() ? std::string("none") : chosen) + "\n");
    return chosen.empty() ? kExitFailed : kExitOk;
}

int runFetchProfile(const ToolArgs& args) {
    if (!args.empty()) return usageError("fetch-profile");
    JsonValue document;
    std::string reason;
    if (!fetchProfileOnce(document, {}, &reason)) {
        logLine("fetch-profile: " + reason);
        writeError("no valid answer");
        return kExitFailed;
    }
    writeStandardOutput(writeJson(document) + "\n");
    return kExitOk;
}
