// The native stand-in for the thread start of the process module.
#include <pthread.h>

#include <memory>
#include <utility>

#include "foundation/process.h"

namespace {

void* runWork(void* parameter) {
    std::unique_ptr<std::function<void()>> work(static_cast<std::function<void()>*>(parameter));
    (*work)();
    return nullptr;
}

}  // namespace

bool startDetachedThread(std::function<void()> work) {
    auto block = std::make_unique<std::function<void()>>(std::move(work));
    pthread_t thread;
    if (pthread_create(&thread, nullptr, runWork, block.get()) != 0) return false;
    block.release();  // the thread owns it now
    pthread_detach(thread);
    return true;
}
