#include <pthread.h>
#include <time.h>

#include <memory>
#include <utility>

#include "control/system_ops.h"
#include "foundation/log.h"

namespace {

void* runWork(void* parameter) {
    std::unique_ptr<std::function<void()>> work(static_cast<std::function<void()>*>(parameter));
    (*work)();
    return nullptr;
}

bool startDetachedThread(std::function<void()> work) {
    auto* block = new std::function<void()>(std::move(work));
    pthread_t thread;
    if (pthread_create(&thread, nullptr, runWork, block) != 0) {
        delete block;
        logLine("pthread_create failed");
        return false;
    }
    pthread_detach(thread);
    return true;
}

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
    ops.startThread = startDetachedThread;
    ops.log = logLine;
    return ops;
}
