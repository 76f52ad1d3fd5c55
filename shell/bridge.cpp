#include "shell/bridge.h"

#include <mutex>

#include "control/controller.h"
#include "foundation/json.h"

namespace {

void toggle(UiBridge& bridge) {
    TunnelController* c = bridge.controller;
    if (!c) return;
    switch (c->readPhase()) {
    case TunnelPhase::Running: c->startDisconnect(); return;
    case TunnelPhase::Connecting:
    case TunnelPhase::Stopping: return;
    case TunnelPhase::Idle: break;
    }
    if (bridge.ops.elevation.isAdministrator()) {
        c->startConnect();
        return;
    }
    // The elevated instance waits for our single-instance mutex and connects by itself.
    if (bridge.ops.elevation.restartElevated()) {
        bridge.ops.window.quit();
        return;
    }
    c->reportFailure(kStatusNeedsAdmin);
}

}  // namespace

void handleWebMessage(UiBridge& bridge, const std::string& utf8) {
    JsonValue message;
    if (!parseJson(utf8, message)) {
        bridge.ops.log("bad ui message: " + utf8.substr(0, kBadMessageLogBytes));
        return;
    }
    const std::string cmd = message.find("cmd").asText();
    if (cmd == "jserror") {
        bridge.ops.log("ui script error: " + message.find("text").asText());
        return;
    }
    TunnelController* c = bridge.controller;
    if (cmd == "ready") {
        bridge.ops.window.pushSnapshot();
    } else if (cmd == "toggle") {
        toggle(bridge);
    } else if (cmd == "update") {
        if (c) c->startUpdate();
    } else if (cmd == "dismiss") {
        if (c) c->dismissAlert();
    } else if (cmd == "support") {
        bridge.ops.openLink(bridge.supportUrl);
    } else if (cmd == "minimize") {
        bridge.ops.window.minimize();
    } else if (cmd == "close") {
        bridge.ops.window.close();
    } else if (cmd == "drag") {
        bridge.ops.window.drag();
    }
}

std::string serverFromLink(const std::string& link) {
    const size_t at = link.find('@');
    if (at == std::string::npos) return {};
    const size_t end = link.find_first_of("?#/", at + 1);
    return link.substr(at + 1, end == std::string::npos ? std::string::npos : end - at - 1);
}

std::string appDisplayName(const std::string& app) { return app == "TslGame" ? "PUBG" : app; }

std::string buildSnapshot(TunnelController& c, const std::string& version,
                          const std::function<bool(const std::string& fileName)>& isProcessRunning) {
    std::lock_guard<std::mutex> hold(c.lock);
    const bool running = c.phase == TunnelPhase::Running;
    JsonValue s(JsonKind::Object);
    s["version"] = version;
    s["phase"] = phaseName(c.phase);
    s["status"] = c.status;
    s["error"] = c.error;
    s["alert"] = c.alert;
    s["mode"] = modeName(c.profile.mode);
    s["server"] = running ? c.engine.serverAddress : serverFromLink(c.profile.primaryLink);
    s["ping"] = running ? c.engine.latencyMs.load() : int32_t{-1};
    JsonValue& apps = s["apps"];
    apps = JsonValue(JsonKind::Array);
    for (const std::string& app : c.profile.apps) {
        JsonValue entry(JsonKind::Object);
        entry["name"] = appDisplayName(app);
        entry["running"] = isProcessRunning ? isProcessRunning(app + ".exe") : false;
        apps.push(std::move(entry));
    }
    if (!c.update.version.empty()) {
        JsonValue& u = s["update"];
        u["version"] = c.update.version;
        u["notes"] = c.update.notes;
        u["mandatory"] = c.update.mandatory;
        u["progress"] = c.update.progress;
    }
    return writeJson(s);
}
