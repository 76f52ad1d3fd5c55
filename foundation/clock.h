// The clock every polling loop runs on: the real one in the program, a fake one in tests.
#pragma once

#include <cstdint>
#include <functional>

struct Clock {
    std::function<uint64_t()> nowMs;         // GetTickCount64
    std::function<void(uint32_t)> sleepMs;   // Sleep
};
