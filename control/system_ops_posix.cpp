#include <time.h>

#include <memory>
#include <utility>

#include "control/system_ops.h"
#include "foundation/log.h"
#include "foundation/process.h"

namespace {

uint64_t monotonicMs() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<uint64_t>(t.tv_sec) * 1000u + static_cast<uint64_t>(t.tv_nsec) / 1000000u;
}

}  // namespace

SystemOps platformSystemOps() {
    SystemOps ops;
    ops.clock.nowMs = monotonicMs;
    ops.clock.sleepMs = [](uint32_t ms) {
        timespec t{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
        nanosleep(&t, nullptr);
    };
    ops.startThread = [](std::function<void()> work) {
        if (startDetachedThread(std::move(work))) return true;
        logLine("pthread_create failed");
        return false;
    };
    ops.log = logLine;
    return ops;
}
