#include <cstdio>
#include <cstdlib>

#include "tools/velmorante-tool/tool.h"
#include "foundation/net.h"
#include "tunnel/xray_config.h"

bool readPortArgument(const std::string& text, int& port) {
    if (text.empty() || text.size() > 5) return false;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
    }
    const long v = std::strtol(text.c_str(), nullptr, 10);
    if (v < 1 || v > 65535) return false;
    port = static_cast<int>(v);
    return true;
}

int runXray(const ToolArgs& args) {
    std::string adapter;
    bool haveAdapter = false;
    std::string links[2];       // rest, apps
    bool haveLink[2] = {false, false};
    int32_t ports[2] = {0, 0};
    bool havePort[2] = {false, false};
    for (size_t i = 0; i < args.size(); i += 2) {
        if (i + 1 >= args.size()) return usageError("xray");
        const std::string& name = args[i];
        const std::string& value = args[i + 1];
        if (name == "--adapter" && !haveAdapter) {
            adapter = value;
            haveAdapter = true;
        } else if ((name == "--rest" || name == "--apps") && !haveLink[name == "--apps"]) {
            links[name == "--apps"] = value;
            haveLink[name == "--apps"] = true;
        } else if ((name == "--rest-port" || name == "--apps-port") && !havePort[name == "--apps-port"]) {
            const int k = name == "--apps-port";
            if (!readPortArgument(value, ports[k])) return usageError("xray");
            havePort[k] = true;
        } else {
            return usageError("xray");
        }
    }
    if (!haveAdapter || haveLink[0] != havePort[0] || haveLink[1] != havePort[1]) return usageError("xray");

    static const char* const kTags[2] = {"rest", "apps"};
    std::vector<ServerRoute> routes;
    for (int k = 0; k < 2; ++k) {
        if (!haveLink[k]) continue;
        ServerRoute route;
        route.tag = kTags[k];
        route.socksPort = ports[k];
        if (!parseVlessLink(links[k], route.link)) {
            writeError("link not usable");
            return kExitUsage;
        }
        routes.push_back(std::move(route));
    }
    std::string document;
    const std::string error = buildXrayConfig(routes, adapter, document, resolveIPv4);
    if (!error.empty()) {
        // Written as bytes: the transport named in the text may hold any byte, a zero byte too.
        const std::string line = error + "\n";
        std::fwrite(line.data(), 1, line.size(), stderr);
        std::fflush(stderr);
        return kExitFailed;
    }
    writeStandardOutput(document + "\n");
    return kExitOk;
}
