#include "foundation/log.h"

#include <cstdio>

std::string logText(const std::string& message) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(message.size());
    for (const char c : message) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (byte == 0) break;
        if (byte >= 0x20 && byte != 0x7F) {
            out += c;
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else {
            out += "\\x";
            out += kHex[byte >> 4];
            out += kHex[byte & 0x0F];
        }
    }
    return out;
}

std::string logLineText(int hour, int minute, int second, const std::string& message) {
    char stamp[16];
    std::snprintf(stamp, sizeof stamp, "%02d:%02d:%02d ", hour, minute, second);
    return stamp + logText(message) + "\r\n";
}
