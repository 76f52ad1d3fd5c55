#include "conflicts/conflicts.h"

#include <cstdlib>
#include <cstring>
#include <string_view>

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

bool isCloseCandidate(const ProcessRecord& walked, const std::string& exeName, uint32_t selfPid, uint32_t ownSession) {
    return walked.pid != selfPid && walked.sessionId == ownSession && !exeName.empty() &&
           lowerAscii(walked.exeName) == lowerAscii(exeName);
}

bool mayEndOpenedProcess(const OpenedProcess& opened, const std::string& exeName, uint32_t ownSession) {
    if (!opened.sessionKnown || opened.sessionId != ownSession) return false;
    if (opened.imagePath.empty() || opened.inEngineFolder || exeName.empty()) return false;
    const size_t slash = opened.imagePath.find_last_of("\\/");
    const std::string fileName = slash == std::string::npos ? opened.imagePath : opened.imagePath.substr(slash + 1);
    return lowerAscii(fileName) == lowerAscii(exeName);
}

namespace {

std::string_view trimSpaces(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    return text;
}

bool isDigits(std::string_view text) {
    if (text.empty()) return false;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
    }
    return true;
}

// Four dotted decimal parts of 0..255, the first 127.
bool isLoopbackIPv4(std::string_view host) {
    for (int part = 0; part < 4; ++part) {
        const size_t dot = host.find('.');
        if ((dot == std::string_view::npos) != (part == 3)) return false;
        const std::string_view digits = host.substr(0, dot);
        if (!isDigits(digits) || digits.size() > 3) return false;
        const int value = std::atoi(std::string(digits).c_str());
        if (value > 255 || (part == 0 && value != 127)) return false;
        if (dot != std::string_view::npos) host.remove_prefix(dot + 1);
    }
    return true;
}

// One entry: an optional "scheme=" and "scheme://", then host ("[v6]" or a name or address),
// a colon and a port of 1..65535, with a loopback host.
bool isLoopbackEntry(std::string_view entry) {
    const size_t equals = entry.find('=');
    if (equals != std::string_view::npos) entry = trimSpaces(entry.substr(equals + 1));
    const size_t scheme = entry.find("://");
    if (scheme != std::string_view::npos) entry.remove_prefix(scheme + 3);
    const size_t colon = entry.rfind(':');
    if (colon == std::string_view::npos) return false;
    const std::string_view port = entry.substr(colon + 1);
    if (!isDigits(port) || port.size() > 5) return false;
    const int portNumber = std::atoi(std::string(port).c_str());
    if (portNumber < 1 || portNumber > 65535) return false;
    const std::string_view host = entry.substr(0, colon);
    return host == "[::1]" || lowerAscii(std::string(host)) == "localhost" || isLoopbackIPv4(host);
}

}  // namespace

bool proxyPointsAtLoopback(const std::string& proxyServer) {
    std::string_view rest = proxyServer;
    bool any = false;
    while (!rest.empty()) {
        const size_t semicolon = rest.find(';');
        const std::string_view entry = trimSpaces(rest.substr(0, semicolon));
        rest = semicolon == std::string_view::npos ? std::string_view() : rest.substr(semicolon + 1);
        if (entry.empty()) continue;
        if (!isLoopbackEntry(entry)) return false;
        any = true;
    }
    return any;
}

bool readGrowingList(const std::function<bool(std::vector<unsigned char>& buffer, uint32_t& needed)>& read,
                     std::vector<unsigned char>& out) {
    out.clear();
    uint32_t needed = 0;
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (read(out, needed)) return true;
        if (needed == 0 || needed <= out.size()) return false;  // failed for another reason
        out.assign(needed, 0);
    }
    return false;
}
