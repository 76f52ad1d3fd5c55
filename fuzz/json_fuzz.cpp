// Any input: no crash, no hang, no unbounded recursion. Any input that parses: writing it, parsing
// that and writing again gives the same text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "foundation/json.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    JsonValue value;
    if (!parseJson(text, value)) return 0;
    const std::string once = writeJson(value);
    JsonValue again;
    if (!parseJson(once, again)) std::abort();
    if (writeJson(again) != once) std::abort();
    return 0;
}
