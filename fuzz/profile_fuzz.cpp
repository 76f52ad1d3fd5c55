// Service documents from the network: parsing and applying them never fails or crashes.
#include <cstddef>
#include <cstdint>
#include <string>

#include "control/controller.h"
#include "control/profile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    JsonValue document;
    if (!parseJson(std::string(reinterpret_cast<const char*>(data), size), document)) return 0;
    const ServiceProfile p = parseProfile(document);
    if (p.primaryLink != (p.servers.empty() ? std::string() : p.servers.front())) __builtin_trap();
    for (const std::string& s : p.servers) {
        if (s.empty()) __builtin_trap();
    }
    TunnelController c(nullptr, 0, SystemOps{});
    c.update.progress = 7;
    applyProfileDocument(c, document);
    if (c.update.progress != 7 || !c.profileReady || profileChanged(c.profile, p)) __builtin_trap();
    return 0;
}
