// Fakes for the controller's system seam, shared by the controller and bridge tests.
#pragma once

#include <atomic>
#include <chrono>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "control/controller.h"

namespace vlm_test {

// Workers are queued and run by the test, one at a time, on the test's thread.
struct QueuedWorkers {
    std::deque<std::function<void()>> queue;
    bool refuse = false;  // as if no thread could be created
    std::function<bool(std::function<void()>)> starter() {
        return [this](std::function<void()> work) {
            if (refuse) return false;
            queue.push_back(std::move(work));
            return true;
        };
    }
    size_t runAll() {
        size_t n = 0;
        while (!queue.empty()) {
            auto work = std::move(queue.front());
            queue.pop_front();
            work();
            ++n;
        }
        return n;
    }
};

// Counts notifications and checks that each one comes with the controller's lock free: the
// callback takes the lock itself, as the user-interface thread does to build a snapshot.
struct NotifyProbe {
    TunnelController* controller = nullptr;
    int count = 0;
    int withLockHeld = 0;
    std::vector<std::string> statuses;  // the status seen at each notification
    std::vector<TunnelPhase> phases;
    std::function<void()> callback() {
        return [this] {
            ++count;
            if (!controller) return;
            if (!controller->lock.try_lock()) {
                ++withLockHeld;
                return;
            }
            statuses.push_back(controller->status);
            phases.push_back(controller->phase);
            controller->lock.unlock();
        };
    }
};

inline void setPhase(TunnelController& c, TunnelPhase phase) {
    std::lock_guard<std::mutex> hold(c.lock);
    c.phase = phase;
}

// Bounded wait on the real clock for threads the test started.
inline bool waitFor(const std::function<bool()>& done, int timeoutMs = 5000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

}  // namespace vlm_test
