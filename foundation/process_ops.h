// The processes group of the control seam: detached workers. The program fills it with the
// platform's thread start; tests queue the workers. The default starts nothing.
#pragma once

#include <functional>

struct ProcessOps {
    // Runs the work on a new detached thread that owns it. False: no thread, the work is dropped
    // (default).
    std::function<bool(std::function<void()> work)> startWorker = [](std::function<void()>) { return false; };
};
