#include "control/system_ops.h"
#include "foundation/process.h"

ProcessOps platformProcessOps() {
    ProcessOps ops;
    ops.startWorker = startDetachedThread;
    return ops;
}
