#include "foundation/json.h"
#include "tools/velmorante-tool/tool.h"
#include "tunnel/link.h"

int runLink(const ToolArgs& args) {
    if (args.size() != 1) return usageError("link");
    VlessLink link;
    if (!parseVlessLink(args[0], link)) {
        writeError("link not usable");
        return kExitFailed;
    }
    JsonValue out(JsonKind::Object);
    out.member("userId") = link.userId;
    out.member("host") = link.host;
    out.member("port") = link.port;
    JsonValue params(JsonKind::Object);
    for (const auto& [key, value] : link.params) params.member(key) = value;
    out.member("params") = std::move(params);
    writeStandardOutput(writeJson(out) + "\n");
    return kExitOk;
}
