#include "foundation/json.h"
#include "tools/velmorante-tool/tool.h"

int runJson(const ToolArgs& args) {
    if (!args.empty()) return usageError("json");
    std::string input;
    if (!readStandardInput(input)) {
        writeError("cannot read standard input");
        return kExitFailed;
    }
    JsonValue value;
    if (!parse(input, value)) {
        writeError("invalid JSON");
        return kExitFailed;
    }
    writeStandardOutput(dump(value) + "\n");
    return kExitOk;
}
