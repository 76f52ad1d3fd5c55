// The headless client: the same controller, connect procedure, monitor loop and tunnel as the
// program, without the window. One JSON line per controller notification on standard output;
// commands on standard input, one per line, through the controller's own entry points.
#include <windows.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>

#include "conflicts/adapters.h"
#include "control/connect.h"
#include "control/controller.h"
#include "control/monitor.h"
#include "control/profile.h"
#include "control/profile_source.h"
#include "foundation/json.h"
#include "foundation/log.h"
#include "foundation/process_win.h"
#include "foundation/text.h"
#include "shell/bridge.h"
#include "tools/velmorante-tool/tool.h"
#include "foundation/net.h"
#include "tunnel/tunnel.h"

namespace {

constexpr uint32_t kProfileWaitMs = 30000;        // for the service's first answer
constexpr uint32_t kMonitorStopWaitMs = 60000;    // a reconnect under way is finished first
constexpr uint32_t kInputWaitMs = 100;            // the main loop looks at quitRequested this often

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
        // The check through the tunnel, once it has a result.
        const Liveness liveness = c.engine.liveness.load();
        if (liveness != Liveness::Unchecked) {
            line["liveness"] = liveness == Liveness::Ok ? "ok" : liveness == Liveness::Failed ? "failed" : "off";
        }
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

// Standard input's lines, from the reader thread to the main thread. Shared: a reader still blocked
// in a read when the client ends touches nothing freed.
struct InputLines {
    std::mutex lock;
    std::condition_variable arrived;
    std::deque<std::string> lines;
    bool ended = false;
};

void readInputLines(const std::shared_ptr<InputLines>& input) {
    std::string line;
    char buf[512];
    for (;;) {
        const bool more = std::fgets(buf, sizeof buf, stdin) != nullptr;
        if (more) line += buf;
        if (more && (line.empty() || line.back() != '\n')) continue;
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
        {
            std::lock_guard<std::mutex> hold(input->lock);
            if (!line.empty()) input->lines.push_back(line);
            input->ended = !more;
        }
        input->arrived.notify_one();
        line.clear();
        if (!more) return;
    }
}

// The next line within waitMs: "quit" once input has ended; false when none came.
bool nextInputLine(InputLines& input, std::string& line, uint32_t waitMs) {
    std::unique_lock<std::mutex> hold(input.lock);
    input.arrived.wait_for(hold, std::chrono::milliseconds(waitMs),
                           [&] { return !input.lines.empty() || input.ended; });
    if (!input.lines.empty()) {
        line = std::move(input.lines.front());
        input.lines.pop_front();
        return true;
    }
    if (!input.ended) return false;
    line = "quit";
    return true;
}

// One command line; false for "quit". `memory` is null when the service gives the documents.
bool runInputCommand(TunnelController& c, UiBridge& bridge, MemoryProfileSource* memory, const std::string& line) {
    if (line == "quit") return false;
    if (line == "connect") {
        c.startConnect();
    } else if (line == "disconnect") {
        c.startDisconnect();
    } else if (line == "toggle") {
        handleWebMessage(bridge, std::string("{\"cmd\":\"toggle\"}"));
    } else if (line.rfind("document ", 0) == 0) {
        JsonValue document;
        std::string reason;
        if (!memory) {
            writeError("document: the documents come from the service in this run");
        } else if (!readDocumentFile(line.substr(9), document, reason)) {
            writeError("document: " + reason);
        } else {
            offerDocument(*memory, std::move(document));
        }
    } else {
        writeError("unknown command: " + line.substr(0, 80));
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
    UniqueHandle monitor = startThread([&] {
        monitorLoop(c, source);
        monitorDone = true;
    });
    if (!monitor) {
        if (args.empty()) stopProfileWorker(worker, kProfileWorkerStopWaitMs);
        writeError("cannot start the monitor");
        return kExitFailed;
    }
    auto input = std::make_shared<InputLines>();
    startDetachedThread([input] { readInputLines(input); });
    UiBridge bridge;
    bridge.controller = &c;
    bridge.ops.elevation.isAdministrator = runsAsAdministrator;
    bridge.ops.log = [](const std::string& line) { logLine(line); };

    // Connect once the monitor has taken a document, as the program's autostart does.
    const ULONGLONG profileDeadline = GetTickCount64() + kProfileWaitMs;
    bool ready = false;
    bool inputEnded = false;
    while (!quitRequested && !inputEnded && GetTickCount64() < profileDeadline) {
        {
            std::lock_guard<std::mutex> hold(c.lock);
            ready = c.profileReady;
        }
        if (ready) break;
        Sleep(100);
        std::lock_guard<std::mutex> hold(input->lock);
        inputEnded = input->ended;
    }
    if (ready && !quitRequested && !inputEnded) {
        c.wantConnected = true;
        runConnect(c);
    } else if (!ready && !inputEnded) {
        writeError("no service document within " + std::to_string(kProfileWaitMs / 1000) + " s");
    }
    MemoryProfileSource* documents = args.size() == 1 ? &memory : nullptr;
    std::string line;
    Liveness shown = Liveness::Unchecked;
    while (!quitRequested) {
        if (nextInputLine(*input, line, kInputWaitMs) && !runInputCommand(c, bridge, documents, line)) break;
        // The liveness check notifies nobody; a new result of it is printed from here.
        const Liveness liveness = c.engine.liveness.load();
        if (liveness != shown) {
            shown = liveness;
            if (liveness != Liveness::Unchecked) printState();
        }
    }

    // The monitor first, so that it reconnects nothing behind the stop; then the tunnel.
    c.wantConnected = false;
    c.retryAt = 0;
    c.stopFlag = true;
    const ULONGLONG monitorDeadline = GetTickCount64() + kMonitorStopWaitMs;
    while (!monitorDone && GetTickCount64() < monitorDeadline) Sleep(50);
    // A connect or stop that a command started on a worker thread ends before the controller does.
    auto settled = [&c] {
        const TunnelPhase phase = c.readPhase();
        return phase == TunnelPhase::Idle || phase == TunnelPhase::Running;
    };
    while (!settled() && GetTickCount64() < monitorDeadline) Sleep(50);
    const bool workersDone = settled();
    c.disconnect(kStatusDisconnected, false);
    if (args.empty()) stopProfileWorker(worker, kProfileWorkerStopWaitMs);
    printState();
    const int code = everRunning ? kExitOk : kExitFailed;
    if (!monitorDone || !workersDone) {
        // Still inside a reconnect or a start: the process ends, and the job's close ends its engines.
        std::fflush(stdout);
        ExitProcess(static_cast<UINT>(code));
    }
    WaitForSingleObject(monitor.get(), kMonitorStopWaitMs);  // it has ended: only its exit is left
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
