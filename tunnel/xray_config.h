// The xray engine's document: one local SOCKS inbound and one VLESS outbound per route.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "foundation/json.h"
#include "tunnel/link.h"

// One route of a tunnel.
struct ServerRoute {
    std::string tag;        // "rest" (everything not routed elsewhere) or "apps" (listed applications)
    VlessLink link;
    int32_t socksPort = 0;  // the route's SOCKS inbound on 127.0.0.1
};

// Turns a server host into the address written into the document (resolveIPv4 in the program).
using HostLookup = std::function<std::string(const std::string& host)>;

// The route's VLESS outbound, bound to the Internet adapter. Returns the user's error text for a
// link the engine cannot use (out untouched), or empty text with out replaced.
std::string buildVlessOutbound(const ServerRoute& route, const std::string& adapterName, JsonValue& out,
                               const HostLookup& lookup);

// The whole document as one compact JSON text. Returns the first failing route's error text
// (out untouched), or empty text with out holding the document.
std::string buildXrayConfig(const std::vector<ServerRoute>& routes, const std::string& adapterName,
                            std::string& out, const HostLookup& lookup);
