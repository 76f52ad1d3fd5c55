#include "conflicts/conflicts.h"

#include <cstring>

#include "foundation/text.h"

const char* conflictingProgramEntry(const std::string& exeName) {
    const std::string wanted = lowerAscii(exeName);
    for (const char* entry : kConflictingPrograms) {
        if (lowerAscii(entry) == wanted) return entry;
    }
    return nullptr;
}

std::string conflictDisplayName(const std::string& exeName) {
    if (exeName.size() > 4 && lowerAscii(exeName.substr(exeName.size() - 4)) == ".exe") {
        return exeName.substr(0, exeName.size() - 4);
    }
    return exeName;
}

bool isWireGuardTunnelService(const std::string& serviceName) {
    const size_t n = std::strlen(kWireGuardServicePrefix);
    return serviceName.size() >= n && lowerAscii(serviceName.substr(0, n)) == lowerAscii(kWireGuardServicePrefix);
}

bool proxyPointsAtLoopback(const std::string& proxyServer) {
    return proxyServer.find("127.0.0.1") != std::string::npos || proxyServer.find("localhost") != std::string::npos;
}
