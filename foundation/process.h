// Processes and threads of this platform as plain records: one walker of the running processes
// (shared, so that callers content with a recent list cause at most one walk a second), and one
// way to start a worker thread. The launcher, the bounded stop and the owned thread start take
// Windows handles and live in foundation/process_win.h.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

struct ProcessRecord {
    uint32_t pid = 0;
    uint32_t parentPid = 0;
    uint32_t sessionId = 0;
    std::string exeName;    // the executable's file name, UTF-8
    std::string imagePath;  // the full image path when asked for and readable, else empty
};

using ProcessList = std::vector<ProcessRecord>;

inline constexpr uint64_t kRecentProcessListMs = 1000;

// One walk shared by its callers. walk fills the list (false: it could not be taken).
struct SharedProcessWalk {
    std::function<uint64_t()> nowMs;
    std::function<bool(ProcessList&)> walk;

    std::mutex lock;  // held through a walk: a second caller waits for it instead of walking too
    std::shared_ptr<const ProcessList> list;
    uint64_t takenAt = 0;
};

// The last list when it is younger than maxAgeMs, else a new walk. Null when no walk succeeded.
std::shared_ptr<const ProcessList> recentProcessList(SharedProcessWalk& shared,
                                                     uint64_t maxAgeMs = kRecentProcessListMs);
// Always a new walk (kept for the callers that follow). Null when it could not be taken.
std::shared_ptr<const ProcessList> freshProcessList(SharedProcessWalk& shared);

// Runs the work on a new detached thread that owns it. False: no thread, the work is dropped (the
// platform's error code stays the last error).
bool startDetachedThread(std::function<void()> work);
