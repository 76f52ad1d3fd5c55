#include "conflicts/adapters.h"

#include <winsock2.h>
#include <ws2ipdef.h>
#include <iphlpapi.h>
#include <windows.h>

#include "foundation/text.h"

std::vector<AdapterInfo> listAdapters() {
    constexpr ULONG kFlags = GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER |
                             GAA_FLAG_INCLUDE_GATEWAYS;  // 0x8E
    // 16 KiB is enough on typical machines; a larger list is asked for once more at the size
    // the system names.
    ULONG size = 16384;
    std::vector<unsigned char> buffer(size, 0);
    auto* first = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data());
    ULONG result = GetAdaptersAddresses(AF_INET, kFlags, nullptr, first, &size);
    if (result == ERROR_BUFFER_OVERFLOW) {
        buffer.assign(size, 0);
        first = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data());
        result = GetAdaptersAddresses(AF_INET, kFlags, nullptr, first, &size);
    }
    std::vector<AdapterInfo> adapters;
    if (result != NO_ERROR) return adapters;
    for (const IP_ADAPTER_ADDRESSES* a = first; a; a = a->Next) {
        AdapterInfo info;
        info.index = a->IfIndex;
        info.description = a->Description ? wideToUtf8(a->Description) : std::string();
        info.friendlyName = a->FriendlyName ? wideToUtf8(a->FriendlyName) : std::string();
        info.type = a->IfType;
        info.up = a->OperStatus == IfOperStatusUp;
        info.hasGateway = a->FirstGatewayAddress != nullptr;
        adapters.push_back(std::move(info));
    }
    return adapters;
}

bool findInternetAdapter(std::string& friendlyName, uint32_t& interfaceIndex) {
    const std::vector<AdapterInfo> adapters = listAdapters();
    const AdapterInfo* found = findInternetAdapterIn(adapters);
    if (!found) return false;
    friendlyName = found->friendlyName;
    interfaceIndex = found->index;
    return true;
}

std::string findForeignTunnelAdapter() { return findForeignTunnelAdapterIn(listAdapters()); }

bool isTunnelAdapterUp() { return isTunnelAdapterUpIn(listAdapters()); }
