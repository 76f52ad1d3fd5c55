// The choice of the fastest server: every server of the profile resolved and probed at once, so
// that the choice takes about as long as its slowest server, not the sum of them all.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "control/controller.h"

inline constexpr uint32_t kServerProbeTimeoutMs = 1500;
inline constexpr int kServerProbeRounds = 3;
inline constexpr size_t kResolveWorkers = 4;

// The link of the fastest server over the interface, or empty when none answered or the stop
// came. Each server is probed three times, in three rounds that probe all servers at once; its
// time is the smallest of its three. The lines "server <host>: <n> ms" or "unreachable" are
// logged in the profile's order after the last round; a link that does not parse is skipped
// silently; on equal times the earlier server wins. stopped is asked before each round: once it
// holds, nothing more is probed or logged and the result is empty.
// skipped (optional) names links to pass over while another server answers; when every answering
// server is skipped, the fastest of them is taken.
std::string selectServer(const NetworkOps& network, const LogSink& log, const std::vector<std::string>& servers,
                         uint32_t interfaceIndex, const std::function<bool()>& stopped = nullptr,
                         const std::function<bool(const std::string& link)>& skipped = nullptr);

// True once the connect under way has been stopped: the controller is shutting down or a
// disconnect took the phase over.
bool selectionStopped(TunnelController& c);

// The link to start: fewer than two servers are not timed at all; without a physical Internet
// adapter the first server is taken as it stands and the tunnel start reports the missing adapter
// itself. A server that carried no traffic within the last 5 minutes is passed over while another
// answers. Empty when no server answered or the selection was stopped.
std::string chooseServer(TunnelController& c, const std::vector<std::string>& servers);
