// The clock every polling loop runs on: the real one in the program, a fake one in tests.
#pragma once

#include <cstdint>
#include <functional>

// The standard library's monotonic clock and sleep (clock.cpp).
uint64_t steadyNowMs();
void steadySleepMs(uint32_t ms);

// Defaults to the real clock, so that a seam whose test fakes other groups still waits boundedly.
struct Clock {
    std::function<uint64_t()> nowMs = steadyNowMs;
    std::function<void(uint32_t)> sleepMs = steadySleepMs;
};
