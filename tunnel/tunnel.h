// The tunnel start and stop: xray with one SOCKS inbound per route, then sing-box with the TUN
// adapter "velmorante-tun", in a fixed order of checks with fixed, bounded waits. The procedure is
// portable and runs over TunnelOps; tunnel_win.cpp fills it with the real calls.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "conflicts/adapters.h"
#include "conflicts/conflicts.h"
#include "foundation/clock.h"
#include "foundation/log.h"
#include "foundation/net_ops.h"
#include "tunnel/engine_state.h"

enum class TunnelMode : uint8_t { System = 0, PerApplication = 1 };

// What a tunnel start needs from the profile; primaryLink is the chosen server.
struct TunnelRequest {
    TunnelMode mode = TunnelMode::PerApplication;
    std::vector<std::string> apps;
    std::string primaryLink;
    std::string generalLink;
};

// The waits and steps of the procedure.
inline constexpr uint32_t kForeignAdapterWaitMs = 8000;
inline constexpr uint32_t kForeignAdapterPollMs = 150;
inline constexpr uint32_t kLocalPortWaitMs = 6000;
inline constexpr uint32_t kLocalPortProbeMs = 300;
inline constexpr uint32_t kLocalPortPollMs = 150;
inline constexpr uint32_t kAdapterWaitMs = 25000;
inline constexpr uint32_t kAdapterPollMs = 150;
inline constexpr int kSingBoxAttempts = 4;
inline constexpr uint32_t kSingBoxRetryPauseMs = 2000;
inline constexpr uint32_t kSingBoxRetryGraceMs = 500;
inline constexpr uint32_t kHealthThreadJoinMs = 3000;
inline constexpr uint32_t kSingBoxStopGraceMs = 6000;  // sing-box removes its adapter and routes
inline constexpr uint32_t kXrayStopGraceMs = 500;
inline constexpr uint32_t kHealthProbeTimeoutMs = 2000;
inline constexpr uint32_t kHealthPauseSteps = 20;
inline constexpr uint32_t kHealthPauseStepMs = 100;
// The liveness check through the tunnel: a page of the service fetched through the route's SOCKS
// inbound, 2 s after the start and then every 15 s; after an hour of good checks in a row, every
// 60 s (64 KiB a check: about 15 MB an hour, then about 4 MB), until one fails.
inline constexpr uint32_t kLivenessFirstMs = 2000;
inline constexpr uint32_t kLivenessIntervalMs = 15000;
inline constexpr uint32_t kLivenessCalmIntervalMs = 60000;
inline constexpr uint64_t kLivenessCalmAfterMs = 3600000;
inline constexpr uint16_t kLivenessPort = 80;
inline constexpr const char* kLivenessPath = "/api/v1/ping";
inline constexpr size_t kEngineLogScanBytes = 8192;
inline constexpr size_t kEngineReasonMaxBytes = 220;

inline constexpr const char* kMsgNoInternetAdapter = "Не найден сетевой адаптер с выходом в интернет.";
inline constexpr const char* kMsgAppsEmpty = "Список приложений пуст.";
inline constexpr const char* kMsgNoAppsServer = "Сервер для приложений не задан.";
inline constexpr const char* kMsgNoServer = "Сервер не задан.";
inline constexpr const char* kMsgBadKeyPrefix = "Ключ с сервера не разобран: ";
inline constexpr const char* kMsgXrayFailedPrefix = "Ядро xray не запустилось. ";
inline constexpr const char* kMsgAdapterFailedPrefix = "Туннельный адаптер не поднялся. ";
inline constexpr const char* kMsgRealityMismatch =
    "Сервер ответил обычным сайтом вместо Reality: ключ на сервере не подходит.";
// A start ended by a stop request; the stop's own status is what the page shows.
inline constexpr const char* kMsgStartCancelled = "Подключение отменено.";
inline constexpr const char* kMsgHealthThreadFailed = "Не удалось запустить проверку связи с сервером.";
inline constexpr const char* kLogAdapterRetry = "tunnel adapter did not come up, retrying: ";
// "Другая сетевая программа (адаптер «NAME») не закрылась сама. Закройте её и нажмите снова."
std::string foreignAdapterMessage(const std::string& adapterName);

// The engine folder and the files the engines read and write there. Defaults: the files are
// ready, nothing is logged, tun.json cannot be written.
struct EngineFolderOps {
    std::string engineFolder;                                      // UTF-8, for sing-box's command line
    // "" or the user's message; what keeps the checked files unchanged goes to held.
    std::function<std::string(std::vector<PlatformHandle>& held)> ensureEngineFiles = [](std::vector<PlatformHandle>&) {
        return std::string();
    };
    std::function<void()> deleteEngineLog = [] {};
    std::function<std::string()> readEngineLogTail = [] { return std::string(); };  // the last kEngineLogScanBytes of "engine.log"
    // "tun.json", then held unchanged (in held) until sing-box has exited.
    std::function<bool(const std::string& text, std::vector<PlatformHandle>& held)> writeTunConfig =
        [](const std::string&, std::vector<PlatformHandle>&) { return false; };
    std::function<void()> deleteTunConfig = [] {};
};

// The engine processes, their job and the health thread. Defaults: nothing can be started,
// nothing runs, a stop only lets go of the handle.
struct EngineProcessOps {
    std::function<PlatformHandle()> createJob = [] { return PlatformHandle(); };  // kill-on-close
    // Starts exeName from the engine folder with the log as output, stdinText (if any) written and
    // closed, inside the job (if any). Empty on failure.
    std::function<PlatformHandle(const char* exeName, const std::string& arguments, const std::string* stdinText,
                                 const PlatformHandle& job)>
        launchEngine = [](const char*, const std::string&, const std::string*, const PlatformHandle&) {
            return PlatformHandle();
        };
    std::function<bool(const PlatformHandle& process)> processRunning = [](const PlatformHandle&) { return false; };
    // Ctrl+C, up to graceMs for the end, then termination; empties the handle.
    std::function<void(PlatformHandle& process, uint32_t graceMs)> stopEngineProcess =
        [](PlatformHandle& process, uint32_t) { process.reset(); };
    std::function<void()> killLeftoverEngines = [] {};
    // Runs the work on a new thread and hands back its handle; empty when none could be started.
    std::function<PlatformHandle(std::function<void()> work)> startThread = [](std::function<void()>) {
        return PlatformHandle();
    };
    std::function<void(const PlatformHandle& thread, uint32_t timeoutMs)> joinThread = [](const PlatformHandle&,
                                                                                         uint32_t) {};
};

// The longest waits of the start. Tests under Wine shorten them; the program keeps these values.
struct TunnelTimeouts {
    uint32_t foreignAdapterWaitMs = kForeignAdapterWaitMs;
    uint32_t localPortWaitMs = kLocalPortWaitMs;
    uint32_t adapterWaitMs = kAdapterWaitMs;
};

// What the tunnel start and stop need from the system. tunnel_win.cpp fills every group once at
// start-up (windowsTunnelOps); tests fill the groups they script.
struct TunnelOps {
    Clock clock;
    LogSink log = dropLogLine;
    NetworkOps network;
    AdapterOps adapters;
    ConflictOps conflicts;
    EngineFolderOps folder;
    EngineProcessOps processes;
    TunnelTimeouts timeouts;
    // The service host the liveness check fetches from; empty: the check never runs.
    std::string livenessHost;
};

// Empty on success, otherwise the message to show; on failure nothing is left running. A raised
// state.cancel ends it within one poll step: it is checked before each engine launch and inside
// each wait and pause.
std::string startTunnel(EngineState& state, const TunnelRequest& request, const TunnelOps& ops);
// Safe when nothing runs.
void stopTunnel(EngineState& state, const TunnelOps& ops);
// The body of the health-probe thread: probes the server outside the tunnel every ~2 s until stopRequested.
void healthProbeLoop(EngineState& state, const Clock& clock, const NetworkOps& network);
// The body of the liveness thread, beside the health thread and stopped with it: after 2 s and then
// every 15 s, GET /api/v1/ping from host through the first route's SOCKS inbound; a failure is
// tried again at once, and two in a row set Failed. An answer other than 200 sets Off and ends the
// checks of this tunnel with one log line.
void livenessLoop(EngineState& state, const Clock& clock, const NetworkOps& network, const LogSink& log,
                  const std::string& host);
// Both engine processes of a running tunnel are alive.
bool enginesAlive(const EngineState& state, const TunnelOps& ops);
// The reason from the engine log after an engine ended, or empty.
std::string scanEngineLog(const TunnelOps& ops);

// The route's SOCKS port answers while xray still runs; false at once when xray has exited, when
// the cancel (if given) is raised, or after the time-out.
bool waitForLocalPort(int32_t port, const PlatformHandle& xray, const TunnelOps& ops,
                      const std::atomic<bool>* cancel = nullptr);
enum class AdapterWait { Up, Exited, TimedOut, Cancelled };
// Ends at once when the cancel (if given) is raised.
AdapterWait waitForTunnelAdapter(const PlatformHandle& singBox, const TunnelOps& ops,
                                 const std::atomic<bool>* cancel = nullptr);

// A short reason from the tail of the engine log, read line by line without carriage returns and
// escape sequences (so sing-box's colours are gone), xray's access lines skipped: the Reality
// mismatch; else the last error line, at most 220 bytes. An error line holds "fatal" or "[error]"
// (any case), or begins with xray's "Failed to start: ", Go's "panic: ", or sing-box's level word
// ERROR, FATAL or PANIC followed by its "[seconds]".
std::string engineLogReason(const std::string& tail);

// sing-box's arguments: run -c "<folder>\tun.json" -D "<folder>".
std::string singBoxArguments(const std::string& engineFolder);

#ifdef _WIN32
// Every group filled with the real calls (tunnel_win.cpp). Built once by the program's entry and
// the headless client, and passed down.
TunnelOps windowsTunnelOps();
// Runs the work on a new thread that owns it; the thread's handle, empty when none could be started.
PlatformHandle startWorkerThread(std::function<void()> work);
#endif
