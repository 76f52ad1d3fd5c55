#include <string>

#include "tools/payload-pack/lzms_pack.h"
#include "tools/velmorante-tool/tool.h"

int runPack(const ToolArgs& args) {
    if (args.size() != 2) return usageError("pack");
    std::string why;
    if (!packFile(args[0], args[1], why)) {
        writeError("pack: " + why);
        return kExitFailed;
    }
    return kExitOk;
}
