// The monitor loop: watches the running tunnel four times a second, switches servers, retries a
// failed connect, reacts to conflicting programs and takes new service documents.
#pragma once

#include <cstdint>
#include <string>

#include "control/controller.h"
#include "control/profile.h"

inline constexpr uint32_t kMonitorPassMs = 250;
inline constexpr uint64_t kServerSilenceMs = 7000;        // more than this without a good probe switches
inline constexpr uint64_t kConflictScanIntervalMs = 1000;
inline constexpr int kConflictAttemptsAfterEngineEnd = 8;  // an engine dies a moment after the program that killed it starts
inline constexpr uint32_t kConflictAttemptPauseMs = 250;
// A server that connected but carried no traffic is passed over by the server choice this long.
inline constexpr uint64_t kNoTrafficSkipMs = 5 * 60 * 1000;

inline constexpr const char* kStatusServerSilent = "Сервер перестал отвечать, переключаюсь на другой…";
inline constexpr const char* kStatusEngineStopped = "Туннель неожиданно остановился. ";

// What the loop keeps between passes. Not reset when a tunnel ends, so the first scan of a new
// tunnel can come at once.
struct MonitorState {
    uint64_t nextConflictCheck = 0;
};

// One pass: the 250 ms pause, then at most one reaction (engine ended, server silent, conflict,
// due retry), else the profile intake. Reactions run here, synchronously.
void monitorPass(TunnelController& controller, ProfileSource& source, MonitorState& state);

// The monitor thread's routine: passes until the stop flag is seen, within one pass of it being
// raised (a reaction under way is finished first). Returns 0.
uint32_t monitorLoop(TunnelController& controller, ProfileSource& source);

// A conflicting program or foreign tunnel adapter found while connected: no retry follows, the
// tunnel is stopped with the program named, and the alert asks for the user's attention.
void reactToConflict(TunnelController& controller, const std::string& programName);
