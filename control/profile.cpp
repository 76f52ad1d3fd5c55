#include "control/profile.h"

#include "build_config.h"
#include "control/controller.h"

namespace {

const JsonValue& memberOfKind(const JsonValue& object, const char* key, JsonKind kind) {
    const JsonValue& v = object.find(key);
    return v.kind == kind ? v : jsonNull();
}

}  // namespace

ServiceProfile parseProfile(const JsonValue& document) {
    ServiceProfile p;
    const JsonValue& config = memberOfKind(document, "config", JsonKind::Object);

    p.mode = config.find("mode").asText("game") == "system" ? TunnelMode::System : TunnelMode::PerApplication;

    for (const JsonValue& app : memberOfKind(config, "apps", JsonKind::Array).items) p.apps.push_back(app.asText());

    const JsonValue& servers = memberOfKind(config, "servers", JsonKind::Object);
    for (const JsonValue& entry : memberOfKind(servers, "apps_list", JsonKind::Array).items) {
        std::string link = entry.find("link").asText();
        if (!link.empty()) p.servers.push_back(std::move(link));
    }
    if (p.servers.empty()) {
        std::string single = servers.find("apps").asText();
        if (!single.empty()) p.servers.push_back(std::move(single));
    }
    p.generalLink = servers.find("rest").asText();
    if (p.mode == TunnelMode::System && p.servers.empty() && !p.generalLink.empty()) {
        p.servers.push_back(p.generalLink);
    }
    if (!p.servers.empty()) p.primaryLink = p.servers.front();
    return p;
}

bool versionNewer(const std::string& offered, const std::string& running) {
    size_t i = 0, j = 0;
    while (i < offered.size() || j < running.size()) {
        uint64_t a = 0, b = 0;
        for (; i < offered.size() && offered[i] != '.'; ++i) {
            if (offered[i] >= '0' && offered[i] <= '9' && a < 1000000000) a = a * 10 + (offered[i] - '0');
        }
        for (; j < running.size() && running[j] != '.'; ++j) {
            if (running[j] >= '0' && running[j] <= '9' && b < 1000000000) b = b * 10 + (running[j] - '0');
        }
        if (a != b) return a > b;
        if (i < offered.size()) ++i;
        if (j < running.size()) ++j;
    }
    return false;
}

void applyUpdateOffer(UpdateOffer& offer, const JsonValue& document) {
    applyUpdateOffer(offer, document, vlm::build::kVersion);
}

void applyUpdateOffer(UpdateOffer& offer, const JsonValue& document, const std::string& runningVersion) {
    const JsonValue& update = document.find("update");
    if (update.kind == JsonKind::Object) {
        offer.version = update.find("version").asText();
        offer.url = update.find("url").asText();
        offer.sha256 = update.find("sha256").asText();
        offer.notes = update.find("notes").asText();
        offer.mandatory = update.find("mandatory").asBool();
        if (!offer.version.empty() && !versionNewer(offer.version, runningVersion)) {
            // An offer not newer than this build: nothing to show or to insist on.
            offer.version.clear();
            offer.url.clear();
            offer.mandatory = false;
        }
    } else {
        // sha256 and notes keep their texts: nothing reads them without a version and a link.
        offer.version.clear();
        offer.url.clear();
        offer.mandatory = false;
    }
}

void applyProfileDocument(TunnelController& controller, const JsonValue& document) {
    ServiceProfile p = parseProfile(document);
    std::lock_guard<std::mutex> hold(controller.lock);
    controller.profile = std::move(p);
    applyUpdateOffer(controller.update, document);
    controller.profileReady = true;
}

bool reconnectOnProfileChange(TunnelController& controller) {
    bool fires = false;
    {
        std::lock_guard<std::mutex> hold(controller.lock);
        fires = controller.phase == TunnelPhase::Running &&
                profileChanged(controller.profile, controller.activeProfile);
    }
    if (fires) controller.reconnect(kStatusProfileChanged);
    return fires;
}

bool checkProfileChange(TunnelController& controller) {
    const bool fires = reconnectOnProfileChange(controller);
    controller.notify();
    return fires;
}

bool profileChanged(const ServiceProfile& a, const ServiceProfile& b) {
    return a.mode != b.mode || a.apps != b.apps || a.servers != b.servers || a.generalLink != b.generalLink;
}

const char* modeName(TunnelMode mode) { return mode == TunnelMode::System ? "system" : "game"; }

void offerDocument(MemoryProfileSource& source, JsonValue document) {
    std::lock_guard<std::mutex> hold(source.lock);
    source.newest = std::move(document);
    source.pending = true;
}

ProfileSource memoryProfileSource(MemoryProfileSource& source) {
    return ProfileSource{[&source](JsonValue& document) {
        std::lock_guard<std::mutex> hold(source.lock);
        if (!source.pending) return false;
        document = std::move(source.newest);
        source.newest = JsonValue();
        source.pending = false;
        return true;
    }};
}

TunnelRequest tunnelRequest(const ServiceProfile& profile) {
    return TunnelRequest{profile.mode, profile.apps, profile.primaryLink, profile.generalLink};
}
