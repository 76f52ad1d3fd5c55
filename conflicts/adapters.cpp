#include "conflicts/adapters.h"

#include "foundation/text.h"

namespace {

constexpr const char* kVirtualAdapterWords[] = {"tun", "tap", "wireguard", "virtual", "vmware", "hyper-v", "loopback"};
constexpr const char* kForeignTunnelWords[] = {"sing-tun", "wintun", "wireguard", "tap-windows"};

template <size_t N>
bool holdsAnyWord(const std::string& text, const char* const (&words)[N]) {
    for (const char* word : words) {
        if (text.find(word) != std::string::npos) return true;
    }
    return false;
}

bool isOurTunnelAdapter(const AdapterInfo& adapter) {
    return lowerAscii(adapter.friendlyName) == kTunnelAdapterName;
}

}  // namespace

bool isInternetAdapterType(uint32_t type) {
    return type == kIfTypeEthernet || type == kIfTypeIeee80211 || type == kIfTypePpp || type == kIfTypeWwanPp ||
           type == kIfTypeWwanPp2;
}

std::string adapterClassificationText(const AdapterInfo& adapter) {
    return lowerAscii(adapter.description + " " + adapter.friendlyName);
}

bool isVirtualAdapter(const AdapterInfo& adapter) {
    return holdsAnyWord(adapterClassificationText(adapter), kVirtualAdapterWords);
}

const AdapterInfo* findInternetAdapterIn(const std::vector<AdapterInfo>& adapters) {
    for (const AdapterInfo& a : adapters) {
        if (!a.up || !a.hasGateway) continue;
        if (!isInternetAdapterType(a.type)) continue;
        if (isVirtualAdapter(a)) continue;
        return &a;
    }
    return nullptr;
}

std::string findForeignTunnelAdapterIn(const std::vector<AdapterInfo>& adapters) {
    for (const AdapterInfo& a : adapters) {
        if (a.up && !isOurTunnelAdapter(a) && holdsAnyWord(adapterClassificationText(a), kForeignTunnelWords)) {
            return a.friendlyName;
        }
    }
    return {};
}

bool isTunnelAdapterUpIn(const std::vector<AdapterInfo>& adapters) {
    for (const AdapterInfo& a : adapters) {
        if (a.up && isOurTunnelAdapter(a)) return true;
    }
    return false;
}
