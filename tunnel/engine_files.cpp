#include "tunnel/engine_files.h"

#include "foundation/lzms/crc32.h"

bool engineDigestMatches(const uint8_t* data, size_t size, const uint8_t* digest, size_t digestSize) {
    return digestSize == kEngineDigestSize &&
           crc32Record(data, size) == std::string(reinterpret_cast<const char*>(digest), digestSize);
}

std::string engineMarker(const std::string& version, uint32_t sizeLow, uint32_t writeTimeLow) {
    return version + ":" + std::to_string(sizeLow) + ":" + std::to_string(writeTimeLow);
}

std::string engineUnpackFailure(const char* name) {
    return std::string("Не удалось распаковать ") + name + ".";
}

std::string ensureEngineFilesWith(const EngineFilesOps& ops) {
    if (!ops.prepareFolder()) return engineUnpackFailure(kEngineFiles[0].name);
    bool unpacked = false;
    for (const EngineFile& f : kEngineFiles) {
        if (ops.verify(f)) continue;
        if (!unpacked) ops.stopLeftoverEngines();
        unpacked = true;
        if (!ops.extract(f.resourceId, f.name) || !ops.verify(f)) return engineUnpackFailure(f.name);
    }
    if (unpacked) ops.writeMarker(ops.marker);
    return {};
}
