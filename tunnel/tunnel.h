// The tunnel start and stop: xray with one SOCKS inbound per route, then sing-box with the TUN
// adapter "velmorante-tun", in a fixed order of checks with fixed, bounded waits. The procedure is
// portable and runs over TunnelOps; tunnel_win.cpp fills them with the real calls.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "foundation/clock.h"
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
inline constexpr const char* kLogAdapterRetry = "tunnel adapter did not come up, retrying: ";
// "Другая сетевая программа (адаптер «NAME») не закрылась сама. Закройте её и нажмите снова."
std::string foreignAdapterMessage(const std::string& adapterName);

// What the tunnel start and stop need from the system.
struct TunnelOps {
    Clock clock;
    std::function<void(const std::string&)> log;
    std::function<bool(std::string& adapterName, uint32_t& interfaceIndex)> findInternetAdapter;
    std::function<void()> clearConflicts;
    std::function<std::string()> findForeignTunnelAdapter;
    std::function<bool()> isTunnelAdapterUp;
    std::function<int32_t()> freeLocalPort;
    std::function<std::string(const std::string& host)> resolveIPv4;
    std::function<int32_t(const std::string& address, uint16_t port, uint32_t interfaceIndex, uint32_t timeoutMs)>
        probeTcp;
    std::function<std::string()> ensureEngineFiles;  // "" or the user's message
    std::function<void()> killLeftoverEngines;
    std::string engineFolder;                        // UTF-8, for sing-box's command line
    std::function<void()> deleteEngineLog;
    std::function<std::string()> readEngineLogTail;  // the last kEngineLogScanBytes of "engine.log"
    std::function<PlatformHandle()> createJob;       // kill-on-close; empty when it cannot be made
    // Starts exeName from the engine folder with the log as output, stdinText (if any) written and
    // closed, inside the job (if any). Empty on failure.
    std::function<PlatformHandle(const char* exeName, const std::string& arguments, const std::string* stdinText,
                                 const PlatformHandle& job)>
        launchEngine;
    std::function<bool(const PlatformHandle& process)> processRunning;
    std::function<void(PlatformHandle& process, uint32_t graceMs)> stopEngineProcess;  // empties it
    std::function<bool(const std::string& text)> writeTunConfig;  // "tun.json"; false: not written
    std::function<void()> deleteTunConfig;
    std::function<void()> setTunnelDns;
    // Starts healthProbeLoop for the state on its own thread; empty when none could be started.
    std::function<PlatformHandle(EngineState&)> startHealthThread;
    std::function<void(const PlatformHandle& thread, uint32_t timeoutMs)> waitForThread;
};

// Empty on success, otherwise the message to show; on failure nothing is left running.
std::string startTunnelWith(EngineState& state, const TunnelRequest& request, const TunnelOps& ops);
// Safe when nothing runs.
void stopTunnelWith(EngineState& state, const TunnelOps& ops);
// The body of the health-probe thread: probes the server outside the tunnel every ~2 s until stopRequested.
void healthProbeLoopWith(EngineState& state, const TunnelOps& ops);

bool waitForLocalPort(int32_t port, const TunnelOps& ops);
enum class AdapterWait { Up, Exited, TimedOut };
AdapterWait waitForTunnelAdapter(const PlatformHandle& singBox, const TunnelOps& ops);

// A short reason from the tail of the engine log, read line by line without carriage returns and
// escape sequences (so sing-box's colours are gone), xray's access lines skipped: the Reality
// mismatch; else the last error line, at most 220 bytes. An error line holds "fatal" or "[error]"
// (any case), or begins with xray's "Failed to start: ", Go's "panic: ", or sing-box's level word
// ERROR, FATAL or PANIC followed by its "[seconds]".
std::string engineLogReason(const std::string& tail);

// sing-box's arguments: run -c "<folder>\tun.json" -D "<folder>".
std::string singBoxArguments(const std::string& engineFolder);

// The Windows edge (tunnel_win.cpp): the procedures above over the real system.
std::string startTunnel(EngineState& state, const TunnelRequest& request);
void stopTunnel(EngineState& state);
std::string scanEngineLog();
void healthProbeLoop(EngineState& state);
// Both engine processes of a running tunnel are alive.
bool enginesAlive(const EngineState& state);
TunnelOps windowsTunnelOps();
