// Read-only looks at the machine for support staff: the network adapters as the tunnel start sees
// them, and the conflicting programs, WireGuard services and system proxy it would clear.
#include "conflicts/adapters.h"
#include "conflicts/conflicts.h"
#include "foundation/json.h"
#include "tools/velmorante-tool/tool.h"

namespace {

JsonValue adaptersDocument() {
    const std::vector<AdapterInfo> adapters = listAdapters();
    JsonValue list = JsonValue(JsonKind::Array);
    for (const AdapterInfo& a : adapters) {
        JsonValue item = JsonValue(JsonKind::Object);
        item.member("index") = JsonValue(static_cast<double>(a.index));
        item.member("name") = JsonValue(a.friendlyName);
        item.member("description") = JsonValue(a.description);
        item.member("type") = JsonValue(static_cast<double>(a.type));
        item.member("up") = JsonValue(a.up);
        item.member("gateway") = JsonValue(a.hasGateway);
        item.member("virtual") = JsonValue(isVirtualAdapter(a));
        list.push(std::move(item));
    }
    JsonValue doc = JsonValue(JsonKind::Object);
    doc.member("adapters") = std::move(list);
    if (const AdapterInfo* internet = findInternetAdapterIn(adapters)) {
        JsonValue found = JsonValue(JsonKind::Object);
        found.member("name") = JsonValue(internet->friendlyName);
        found.member("index") = JsonValue(static_cast<double>(internet->index));
        doc.member("internet") = std::move(found);
    } else {
        doc.member("internet") = JsonValue();
    }
    doc.member("foreignTunnel") = JsonValue(findForeignTunnelAdapterIn(adapters));
    doc.member("tunnelUp") = JsonValue(isTunnelAdapterUpIn(adapters));
    return doc;
}

JsonValue conflictsDocument() {
    JsonValue doc = JsonValue(JsonKind::Object);
    doc.member("conflict") = JsonValue(detectConflict());
    JsonValue services = JsonValue(JsonKind::Array);
    for (const std::string& name : runningWireGuardServices()) services.push(JsonValue(name));
    doc.member("wireguardServices") = std::move(services);
    const SystemProxy proxy = readSystemProxy();
    JsonValue p = JsonValue(JsonKind::Object);
    p.member("enabled") = JsonValue(proxy.enabled);
    p.member("server") = JsonValue(proxy.server);
    p.member("loopback") = JsonValue(proxy.enabled && proxyPointsAtLoopback(proxy.server));
    doc.member("proxy") = std::move(p);
    return doc;
}

}  // namespace

int runAdapters(const ToolArgs& args) {
    if (!args.empty()) return usageError("adapters");
    writeStandardOutput(writeJson(adaptersDocument()) + "\n");
    return kExitOk;
}

int runConflicts(const ToolArgs& args) {
    if (args.size() > 1 || (args.size() == 1 && args[0] != "--clear")) return usageError("conflicts");
    if (!args.empty()) clearConflicts();
    writeStandardOutput(writeJson(conflictsDocument()) + "\n");
    return kExitOk;
}
