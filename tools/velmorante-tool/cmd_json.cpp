#include "foundation/json.h"
#include "tools/velmorante-tool/tool.h"

int runJson(const ToolArgs& args) {
    if (!args.empty()) return usageError("json");
    JsonValue value;
    if (!readJsonDocument(value)) return kExitFailed;
    writeStandardOutput(writeJson(value) + "\n");
    return kExitOk;
}
