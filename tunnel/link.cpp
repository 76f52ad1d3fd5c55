#include "tunnel/link.h"
#include "foundation/text.h"

#include <climits>
#include <cstdlib>

namespace {

bool isTrailingSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Read like strtol on the program's platform, where long is 32 bits: white space, one sign,
// digits up to the first non-digit, saturated at the 32-bit limits.
int32_t readDecimal(const std::string& text) {
    const long long v = std::strtoll(text.c_str(), nullptr, 10);
    if (v > INT32_MAX) return INT32_MAX;
    if (v < INT32_MIN) return INT32_MIN;
    return static_cast<int32_t>(v);
}

}  // namespace

std::string percentDecode(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    size_t i = 0;
    while (i < text.size()) {
        if (text[i] == '%' && i + 2 < text.size()) {
            const char hex[3] = {text[i + 1], text[i + 2], '\0'};
            const long v = std::strtol(hex, nullptr, 16);
            out.push_back(static_cast<char>(static_cast<unsigned long>(v) & 0xFFu));
            i += 3;
        } else {
            out.push_back(text[i]);
            ++i;
        }
    }
    return out;
}

bool parseVlessLink(const std::string& text, VlessLink& link) {
    std::string rest = text;
    while (!rest.empty() && isTrailingSpace(rest.back())) rest.pop_back();

    static const char kScheme[] = "vless://";
    constexpr size_t kSchemeLength = sizeof kScheme - 1;
    if (rest.size() < kSchemeLength) return false;
    for (size_t i = 0; i < kSchemeLength; ++i) {
        if (lowerAscii(rest[i]) != kScheme[i]) return false;
    }
    rest.erase(0, kSchemeLength);

    const size_t hash = rest.find('#');
    if (hash != std::string::npos) rest.resize(hash);

    std::string query;
    const size_t question = rest.find('?');
    if (question != std::string::npos) {
        query = rest.substr(question + 1);
        rest.resize(question);
    }

    const size_t at = rest.find('@');
    if (at == std::string::npos) return false;
    link.userId = percentDecode(rest.substr(0, at));
    const std::string authority = rest.substr(at + 1);

    const size_t colon = authority.rfind(':');
    if (colon != std::string::npos) {
        link.host = authority.substr(0, colon);
        link.port = readDecimal(authority.substr(colon + 1));
    } else {
        link.host = authority;
    }
    if (link.port < 1) link.port = 443;

    size_t start = 0;
    while (start <= query.size()) {
        size_t end = query.find('&', start);
        if (end == std::string::npos) end = query.size();
        const std::string piece = query.substr(start, end - start);
        const size_t eq = piece.find('=');
        if (eq != std::string::npos) link.params[piece.substr(0, eq)] = percentDecode(piece.substr(eq + 1));
        start = end + 1;
    }

    return !link.userId.empty() && !link.host.empty();
}

std::string linkParam(const VlessLink& link, const std::string& key, const std::string& fallback) {
    const auto it = link.params.find(key);
    if (it == link.params.end() || it->second.empty()) return fallback;
    return it->second;
}
