// The sing-box engine's document ("tun.json"): the TUN adapter and where each connection goes.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "foundation/json.h"
#include "tunnel/xray_config.h"

// Executable names for the listed applications: ".exe" added where missing, exact duplicates
// dropped, and the game's companion executables added after it.
std::vector<std::string> buildProcessList(const std::vector<std::string>& apps);

// How outbounds resolve server names: through the document's own DNS server, IPv4 first.
JsonValue buildDomainResolver();

// The SOCKS outbound that leads into the route's xray inbound.
JsonValue buildSocksOutbound(const ServerRoute& route);

// The document as compact JSON text. Without a "rest" route, traffic not listed for "apps" goes
// straight out through the adapter.
std::string buildSingBoxConfig(const std::string& adapterName, const std::optional<ServerRoute>& apps,
                               const std::vector<std::string>& processList,
                               const std::optional<ServerRoute>& rest);
