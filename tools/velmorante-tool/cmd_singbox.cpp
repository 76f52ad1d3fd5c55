#include <optional>

#include "tools/velmorante-tool/tool.h"
#include "tunnel/singbox_config.h"

int runSingBox(const ToolArgs& args) {
    std::string adapter;
    bool haveAdapter = false;
    std::optional<ServerRoute> rest, apps;
    std::vector<std::string> names;
    for (size_t i = 0; i < args.size(); i += 2) {
        if (i + 1 >= args.size()) return usageError("singbox");
        const std::string& name = args[i];
        const std::string& value = args[i + 1];
        if (name == "--adapter" && !haveAdapter) {
            adapter = value;
            haveAdapter = true;
        } else if (name == "--app") {
            names.push_back(value);
        } else if ((name == "--rest-port" && !rest) || (name == "--apps-port" && !apps)) {
            ServerRoute route;
            route.tag = name == "--rest-port" ? "rest" : "apps";
            if (!readPortArgument(value, route.socksPort)) return usageError("singbox");
            (name == "--rest-port" ? rest : apps) = std::move(route);
        } else {
            return usageError("singbox");
        }
    }
    if (!haveAdapter) return usageError("singbox");
    writeStandardOutput(buildSingBoxConfig(adapter, apps, buildProcessList(names), rest) + "\n");
    return kExitOk;
}
