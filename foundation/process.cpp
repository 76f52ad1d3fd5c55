#include "foundation/process.h"

namespace {

std::shared_ptr<const ProcessList> walkLocked(SharedProcessWalk& shared) {
    auto list = std::make_shared<ProcessList>();
    if (!shared.walk || !shared.walk(*list)) return nullptr;
    shared.list = std::move(list);
    shared.takenAt = shared.nowMs ? shared.nowMs() : 0;
    return shared.list;
}

}  // namespace

std::shared_ptr<const ProcessList> recentProcessList(SharedProcessWalk& shared, uint64_t maxAgeMs) {
    std::lock_guard<std::mutex> hold(shared.lock);
    const uint64_t now = shared.nowMs ? shared.nowMs() : 0;
    if (shared.list && now >= shared.takenAt && now - shared.takenAt < maxAgeMs) return shared.list;
    return walkLocked(shared);
}

std::shared_ptr<const ProcessList> freshProcessList(SharedProcessWalk& shared) {
    std::lock_guard<std::mutex> hold(shared.lock);
    return walkLocked(shared);
}
