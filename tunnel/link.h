// "vless://" share links taken apart into their user id, host, port and query parameters.
#pragma once

#include <cstdint>
#include <map>
#include <string>

struct VlessLink {
    std::string userId;                         // percent-decoded
    std::string host;                           // literal; an IPv6 literal keeps its brackets
    int32_t port = 443;                         // 443 when the link gives none, or an unreadable one
    std::map<std::string, std::string> params;  // literal keys (byte order), percent-decoded values
};

// Fills link in place; true when it ends with a non-empty user id and host. A text that is not a
// "vless://" link, or has no "@", leaves link untouched. The "#name" fragment is dropped.
bool parseVlessLink(const std::string& text, VlessLink& link);

// "%XX" becomes one byte; a "%" in one of the last two places is kept, "+" is never a space.
std::string percentDecode(const std::string& text);

// The value stored under key when it is present and not empty, otherwise fallback.
std::string linkParam(const VlessLink& link, const std::string& key, const std::string& fallback);
