// The machine's network adapters: which one is the way to the Internet, whether another program's
// tunnel adapter is up, and whether our own "velmorante-tun" is. The decisions are portable
// functions over a listed snapshot; the Windows edge lists the adapters afresh on every call.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// What one entry of the system's IPv4 adapter list tells us. Names are UTF-8.
struct AdapterInfo {
    uint32_t index = 0;  // IPv4 interface index
    std::string description;
    std::string friendlyName;
    uint32_t type = 0;  // IfType: 6 Ethernet, 71 IEEE 802.11, ...
    bool up = false;    // OperStatus is up
    bool hasGateway = false;
};

inline constexpr const char* kTunnelAdapterName = "velmorante-tun";
inline constexpr uint32_t kIfTypeEthernet = 6;
inline constexpr uint32_t kIfTypeIeee80211 = 71;
inline constexpr uint32_t kIfTypePpp = 23;       // PPPoE and dial-up links
inline constexpr uint32_t kIfTypeWwanPp = 243;   // mobile broadband (GSM)
inline constexpr uint32_t kIfTypeWwanPp2 = 244;  // mobile broadband (CDMA)

// Ethernet, Wi-Fi, PPP or mobile broadband: the kinds of link a PC reaches the Internet over.
bool isInternetAdapterType(uint32_t type);

// Description, a space, friendly name, ASCII letters lower-cased.
std::string adapterClassificationText(const AdapterInfo& adapter);
// The classification text holds a virtual-adapter word ("tun", "tap", "wireguard", ...).
bool isVirtualAdapter(const AdapterInfo& adapter);

// The first adapter that is up, of an Internet type, has a gateway and is not virtual; null if none.
const AdapterInfo* findInternetAdapterIn(const std::vector<AdapterInfo>& adapters);
// The friendly name of the first adapter that is up, is not ours and carries a foreign-tunnel
// word; empty if none.
std::string findForeignTunnelAdapterIn(const std::vector<AdapterInfo>& adapters);
// "velmorante-tun" (any letter case) exists and is up.
bool isTunnelAdapterUpIn(const std::vector<AdapterInfo>& adapters);

// The adapters group of the seams: the tunnel start asks for all of it, the server choice for the
// Internet adapter. The program fills it with the functions below (and the tunnel's DNS setting);
// tests script it. Each default finds nothing and does nothing.
struct AdapterOps {
    // Found flag; the adapter's friendly name (UTF-8) and IPv4 interface index when found.
    std::function<bool(std::string& friendlyName, uint32_t& interfaceIndex)> findInternetAdapter =
        [](std::string&, uint32_t&) { return false; };
    std::function<std::string()> findForeignTunnelAdapter = [] { return std::string(); };
    std::function<bool()> isTunnelAdapterUp = [] { return false; };
    std::function<void()> setTunnelDns = [] {};  // 1.1.1.1 on "velmorante-tun"; best effort
};

// The Windows edge (adapters_win.cpp): each call reads the list afresh; an unreadable list is empty.
std::vector<AdapterInfo> listAdapters();
// Found flag; the adapter's friendly name (UTF-8) and interface index when found.
bool findInternetAdapter(std::string& friendlyName, uint32_t& interfaceIndex);
std::string findForeignTunnelAdapter();
bool isTunnelAdapterUp();
