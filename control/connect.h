// The connect procedure: from "idle" to "running", choosing the fastest of the profile's servers.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "control/controller.h"
#include "control/selection.h"

inline constexpr const char* kStatusConnecting = "Подключаюсь…";
inline constexpr const char* kStatusSelecting = "Выбираю самый быстрый сервер…";
inline constexpr const char* kStatusNoServerAnswers = "Серверы не отвечают. Повторю попытку через 20 секунд.";
inline constexpr uint64_t kConnectRetryDelayMs = 20000;

// Runs on the calling thread (a worker or the monitor). Starts only from "idle" with a profile
// received; leaves every outcome in the controller's fields and notifies with the lock free.
// Holds the tunnel lock throughout (bounded wait); the state lock only for the short updates,
// never while probing or starting the tunnel. Nothing starts once the stop flag is raised.
void runConnect(TunnelController& controller);

// "Подключено. …" for the profile that was started.
std::string connectedText(const ServiceProfile& profile);

inline constexpr int kAutostartWaitSteps = 100;  // of 100 ms: about 10 s for a service profile
// Waits up to about 10 s for a service profile, then connects on this worker thread.
void autostartTask(TunnelController& controller);
