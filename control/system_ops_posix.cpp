#include <pthread.h>

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

}  // namespace

ProcessOps platformProcessOps() {
    ProcessOps ops;
    ops.startWorker = startDetachedThread;
    return ops;
}
