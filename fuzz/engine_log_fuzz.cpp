// The engine log is whatever the engines wrote: any bytes must give a reason without a fault, at
// most 220 bytes long, without carriage returns, line feeds or escape bytes.
#include <cstddef>
#include <cstdint>
#include <string>

#include "tunnel/tunnel.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string tail(reinterpret_cast<const char*>(data), size);
    const std::string reason = engineLogReason(tail);
    if (reason == kMsgRealityMismatch) return 0;
    if (reason.size() > kEngineReasonMaxBytes) __builtin_trap();
    if (reason.find_first_of("\r\n\x1b") != std::string::npos) __builtin_trap();
    return 0;
}
