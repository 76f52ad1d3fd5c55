#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

#include "tools/velmorante-tool/tool.h"
#include "foundation/lzms/container.h"

namespace {

std::filesystem::path toPath(const std::string& utf8) {
    return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

// Writes bytes to a file beside the target and renames it into place, so that a failure never
// leaves a file behind that looks complete.
bool writeWholeFile(const std::string& target, const uint8_t* data, size_t size, std::string& why) {
    const std::filesystem::path path = toPath(target);
    std::filesystem::path temp = path;
    temp += ".part";
    std::error_code ec;
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        if (out) out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
        out.close();
        if (!out) {
            std::filesystem::remove(temp, ec);
            return why = "cannot write " + target, false;
        }
    }
    std::filesystem::rename(temp, path, ec);
    if (ec) {
        std::filesystem::remove(temp, ec);
        return why = "cannot write " + target, false;
    }
    return true;
}

bool readWholeFile(const std::string& source, std::string& bytes) {
    std::ifstream in(toPath(source), std::ios::binary);
    if (!in) return false;
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

}  // namespace

int runUnpack(const ToolArgs& args) {
    if (args.size() != 2) return usageError("unpack");
    std::string packed;
    if (!readWholeFile(args[0], packed)) {
        writeError("unpack: cannot read " + args[0]);
        return kExitFailed;
    }
    std::vector<uint8_t> original;
    std::string why;
    if (!unpackLzms(reinterpret_cast<const uint8_t*>(packed.data()), packed.size(), original, why)) {
        writeError("unpack: " + args[0] + ": " + why);
        return kExitFailed;
    }
    if (!writeWholeFile(args[1], original.data(), original.size(), why)) {
        writeError("unpack: " + why);
        return kExitFailed;
    }
    return kExitOk;
}
