// Messages from the page: any text is handled without a crash, and the snapshot stays valid JSON.
#include <cstddef>
#include <cstdint>
#include <string>

#include "control/controller.h"
#include "foundation/json.h"
#include "shell/bridge.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    TunnelController c(nullptr, 0, SystemOps{});
    c.system.processes.startWorker = [](std::function<void()> work) {
        work();  // no profile to connect with, and the tunnel and update groups do nothing
        return true;
    };
    c.update.version = "1.3.0";
    c.update.url = "https://u";
    c.profile.apps = {"TslGame", "x"};
    UiBridge bridge;
    bridge.controller = &c;
    size_t logged = 0;
    bridge.ops.log = [&](const std::string& line) {
        logged = line.size();
        if (line.rfind("bad ui message: ", 0) == 0 && line.size() > 16 + kBadMessageLogBytes) __builtin_trap();
    };
    bridge.ops.elevation = {[&] { return size % 2 == 0; }, [&] { return size % 3 == 0; }};
    handleWebMessage(bridge, std::string(reinterpret_cast<const char*>(data), size));
    (void)logged;
    JsonValue snapshot;
    if (!parseJson(buildSnapshot(c, "1.2.2", [](const std::string&) { return false; }), snapshot)) __builtin_trap();
    return 0;
}
