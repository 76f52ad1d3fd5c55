// velmorante-tool profile: what the client takes from a service document, as one line of JSON.
#include "control/controller.h"
#include "control/profile.h"
#include "foundation/json.h"
#include "tools/velmorante-tool/tool.h"

int runProfile(const ToolArgs& args) {
    if (!args.empty()) return usageError("profile");
    JsonValue document;
    if (!readJsonDocument(document)) return kExitFailed;
    // The offer as a new controller would hold it after taking this document.
    TunnelController controller(nullptr, 0, SystemOps{});
    applyProfileDocument(controller, document);
    const ServiceProfile& p = controller.profile;
    const UpdateOffer& u = controller.update;

    JsonValue out(JsonKind::Object);
    out["mode"] = modeName(p.mode);
    out["apps"] = JsonValue(p.apps);
    out["servers"] = JsonValue(p.servers);
    out["primaryLink"] = p.primaryLink;
    out["generalLink"] = p.generalLink;
    JsonValue& update = out["update"];
    update["version"] = u.version;
    update["url"] = u.url;
    update["sha256"] = u.sha256;
    update["notes"] = u.notes;
    update["mandatory"] = u.mandatory;
    writeStandardOutput(writeJson(out) + "\n");
    return kExitOk;
}
