// The service profile: the routing configuration and the update offer taken from service documents.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "foundation/json.h"
#include "tunnel/tunnel.h"

struct TunnelController;


struct ServiceProfile {
    TunnelMode mode = TunnelMode::PerApplication;
    std::vector<std::string> apps;     // executable base names without ".exe", document order
    std::vector<std::string> servers;  // candidate server links, document order
    std::string primaryLink;           // servers[0], or empty
    std::string generalLink;           // the general server's link; may be empty
};

// What the tunnel start takes from a profile whose primaryLink is the chosen server.
TunnelRequest tunnelRequest(const ServiceProfile& profile);

struct UpdateOffer {
    std::string version;  // empty: no offer
    std::string url;      // empty: the offer cannot be installed
    std::string sha256;   // hexadecimal
    std::string notes;
    bool mandatory = false;
    int32_t progress = -1;  // -1 while no download runs, else 0..100; never written from a document
};

// Supplies service documents. take returns at once: true with the newest document not yet taken,
// false when there is none.
struct ProfileSource {
    std::function<bool(JsonValue& document)> take;
};

// Never fails: missing or mistyped members leave the defaults.
ServiceProfile parseProfile(const JsonValue& document);

// Replaces the offer (all but progress) from the document's "update" member. The caller holds the
// controller's lock.
void applyUpdateOffer(UpdateOffer& offer, const JsonValue& document);
// The same against the given running version: an offer not newer than it is dropped.
void applyUpdateOffer(UpdateOffer& offer, const JsonValue& document, const std::string& runningVersion);

// Dotted numeric comparison ("1.10" > "1.9"; a missing part counts as 0).
bool versionNewer(const std::string& offered, const std::string& running);

// Parses outside the lock, then stores profile and offer and sets profileReady under it.
// Does not notify: the monitor loop runs the change check and notifies afterwards.
void applyProfileDocument(TunnelController& controller, const JsonValue& document);

// Run by the monitor loop right after applyProfileDocument: when the tunnel runs and the routing
// changed, disconnects with the reconnect message and runs the connect procedure on the calling
// thread. Notifies in any case, so the page shows the new mode, apps and offer. True when it fired.
bool checkProfileChange(TunnelController& controller);
// The same check without the notification when nothing changed; true when it reconnected.
bool reconnectOnProfileChange(TunnelController& controller);

inline constexpr const char* kStatusProfileChanged = "Настройки на сервере изменились, переподключаюсь…";

// Differs in mode, apps, servers or generalLink (primaryLink follows from servers).
bool profileChanged(const ServiceProfile& a, const ServiceProfile& b);

// The name the page and the status texts use for a mode: "system" or "game".
const char* modeName(TunnelMode mode);

// A source fed from memory: documents pushed by offer are taken newest first, older ones dropped.
struct MemoryProfileSource {
    std::mutex lock;
    bool pending = false;
    JsonValue newest;
};
void offerDocument(MemoryProfileSource& source, JsonValue document);
ProfileSource memoryProfileSource(MemoryProfileSource& source);
