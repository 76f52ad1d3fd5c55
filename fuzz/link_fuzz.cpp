// Links come from the service document: any bytes must parse or be refused without a fault, and a
// usable link must also survive the xray document builder.
#include <cstddef>
#include <cstdint>
#include <string>

#include "tunnel/link.h"
#include "tunnel/xray_config.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    VlessLink link;
    if (!parseVlessLink(text, link)) return 0;
    if (link.userId.empty() || link.host.empty() || link.port < 1) __builtin_trap();
    ServerRoute route;
    route.tag = "rest";
    route.link = link;
    route.socksPort = 1080;
    std::string document;
    // No real lookups while fuzzing: the host is written as it is.
    buildXrayConfig({route}, "eth0", document, [](const std::string& host) { return host; });
    return 0;
}
