#include "tunnel/engine_files.h"

#include <windows.h>

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "build_config.h"
#include "foundation/crypto.h"
#include "foundation/files_win.h"
#include "foundation/handles_win.h"
#include "foundation/log.h"
#include "foundation/paths.h"
#include "foundation/process_win.h"
#include "foundation/text.h"
#include "foundation/lzms/container.h"

namespace {

// Far above any engine file; a larger file in the engine folder is not one of ours.
constexpr size_t kEngineFileMaxBytes = size_t{256} << 20;

// The Compression API, looked up at run time: Wine's cabinet.dll lacks these exports, and a
// static import of them aborts the process there.
constexpr DWORD kCompressAlgorithmLzms = 5;
using DecompressorHandle = void*;
using CreateDecompressorFn = BOOL(WINAPI*)(DWORD, void*, DecompressorHandle*);
using DecompressFn = BOOL(WINAPI*)(DecompressorHandle, const void*, SIZE_T, void*, SIZE_T, SIZE_T*);
using CloseDecompressorFn = BOOL(WINAPI*)(DecompressorHandle);

struct CompressionApi {
    CreateDecompressorFn create = nullptr;
    DecompressFn decompress = nullptr;
    CloseDecompressorFn close = nullptr;
    bool available() const { return create && decompress && close; }
};

CompressionApi lookUpCompressionApi() {
    CompressionApi api;
    HMODULE cabinet = LoadLibraryExW(L"cabinet.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (!cabinet) return api;  // stays loaded for the program's life when found
    api.create = reinterpret_cast<CreateDecompressorFn>(
        reinterpret_cast<void*>(GetProcAddress(cabinet, "CreateDecompressor")));
    api.decompress = reinterpret_cast<DecompressFn>(reinterpret_cast<void*>(GetProcAddress(cabinet, "Decompress")));
    api.close = reinterpret_cast<CloseDecompressorFn>(
        reinterpret_cast<void*>(GetProcAddress(cabinet, "CloseDecompressor")));
    if (!api.available()) api = CompressionApi{};
    return api;
}

const CompressionApi& compressionApi() {
    static const CompressionApi api = lookUpCompressionApi();
    return api;
}

// Closed through the looked-up function: the owner's closer is fixed, its target found at run time.
void closeDecompressor(DecompressorHandle d) {
    if (compressionApi().close) compressionApi().close(d);
}
using Decompressor = Unique<DecompressorHandle, &closeDecompressor>;

bool decompressWithPlatform(const CompressionApi& api, const void* packed, size_t packedSize,
                            std::vector<uint8_t>& out) {
    Decompressor d;
    if (!api.create(kCompressAlgorithmLzms, nullptr, &d.h)) {
        logLine("CreateDecompressor failed: " + std::to_string(GetLastError()));
        return false;
    }
    // Asked without a buffer, the call fails and reports the unpacked size.
    SIZE_T size = 0;
    api.decompress(d.get(), packed, packedSize, nullptr, 0, &size);
    if (size == 0) return false;
    out.assign(size, 0);
    SIZE_T got = 0;
    if (!api.decompress(d.get(), packed, packedSize, out.data(), size, &got)) {
        logLine("Decompress failed: " + std::to_string(GetLastError()));
        return false;
    }
    return true;
}

bool decompressWithOurDecoder(const void* packed, size_t packedSize, std::vector<uint8_t>& out) {
    std::string why;
    if (!unpackLzms(static_cast<const uint8_t*>(packed), packedSize, out, why)) {
        logLine("engine payload cannot be unpacked: " + why);
        return false;
    }
    return !out.empty();
}

std::wstring inEngineFolder(const std::wstring& folder, const char* name) {
    return folder + L"\\" + utf8ToWide(name);
}

// The SHA-256 record of the file unpacked from resourceId, 64 hex digits; empty when there is none.
std::string recordedSha256(HMODULE self, int resourceId) {
    HRSRC res = FindResourceW(self, MAKEINTRESOURCEW(resourceId + kEngineSha256IdOffset), MAKEINTRESOURCEW(10));
    if (!res) return {};
    HGLOBAL loaded = LoadResource(self, res);
    const char* record = loaded ? static_cast<const char*>(LockResource(loaded)) : nullptr;
    const DWORD size = SizeofResource(self, res);
    if (!record || size < 2 * kSha256Bytes) return {};
    return std::string(record, 2 * kSha256Bytes);
}

// The file is held unchanged in held, opened without following links, at its own path, and its
// bytes have the record; otherwise nothing is held and why is logged.
bool verifyEngineFile(const std::wstring& path, int resourceId, std::vector<PlatformHandle>& held) {
    const std::string record = recordedSha256(GetModuleHandleW(nullptr), resourceId);
    if (record.empty()) {
        logLine("engine file has no recorded digest: " + wideToUtf8(path));
        return false;
    }
    CheckedFile file = pinFile(path);
    if (!file.handle) {
        logLine("engine file not usable: " + file.failure);
        return false;
    }
    std::string bytes;
    if (!readThroughHandle(file.handle.get(), bytes, kEngineFileMaxBytes)) {
        logLine("engine file cannot be read: " + wideToUtf8(path));
        return false;
    }
    if (!digestMatches(toHex(sha256(bytes)), record)) {
        logLine("engine file does not match its recorded digest: " + wideToUtf8(path));
        return false;
    }
    held.push_back(platformHandle(std::move(file.handle)));
    return true;
}

// A payload without a digest record (one packed elsewhere) is taken as it decodes.
bool digestMatches(HMODULE self, int resourceId, const std::vector<uint8_t>& bytes) {
    HRSRC res = FindResourceW(self, MAKEINTRESOURCEW(resourceId + kEngineDigestIdOffset), MAKEINTRESOURCEW(10));
    if (!res) return true;
    HGLOBAL loaded = LoadResource(self, res);
    const void* digest = loaded ? LockResource(loaded) : nullptr;
    const DWORD size = SizeofResource(self, res);
    return digest && engineDigestMatches(bytes.data(), bytes.size(), static_cast<const uint8_t*>(digest), size);
}

}  // namespace

bool extractEngineFile(int resourceId, const std::wstring& targetPath) {
    HMODULE self = GetModuleHandleW(nullptr);
    HRSRC res = FindResourceW(self, MAKEINTRESOURCEW(resourceId), MAKEINTRESOURCEW(10));  // RT_RCDATA
    if (!res) return false;
    HGLOBAL loaded = LoadResource(self, res);
    const void* packed = loaded ? LockResource(loaded) : nullptr;
    const DWORD packedSize = SizeofResource(self, res);
    if (!packed || packedSize == 0) return false;

    std::vector<uint8_t> bytes;
    const CompressionApi& api = compressionApi();
    const bool unpacked = api.available() ? decompressWithPlatform(api, packed, packedSize, bytes)
                                          : decompressWithOurDecoder(packed, packedSize, bytes);
    if (!unpacked) return false;
    if (!digestMatches(self, resourceId, bytes)) {
        logLine("engine payload " + std::to_string(resourceId) + " does not match its recorded digest");
        return false;
    }

    const std::string why = replaceFile(targetPath, std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
    if (!why.empty()) {
        logLine("cannot unpack engine file: " + why);
        return false;
    }
    return true;
}

void killLeftoverEngines() {
    const std::wstring folder = engineFolder();
    if (folder.empty()) return;
    const std::shared_ptr<const ProcessList> list = freshProcesses();
    if (!list) return;
    for (const ProcessRecord& entry : *list) {
        if (!sameExeName(entry.exeName, "xray-core.exe") && !sameExeName(entry.exeName, "sing-box.exe")) continue;
        UniqueHandle process = openProcess(entry.pid, PROCESS_TERMINATE | PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE);
        if (!process) continue;
        const std::wstring image = processImagePath(process.get());
        if (image.empty() || !isInsideFolder(image, folder)) continue;
        stopProcess(process.get(), 0, 1);
    }
}

std::string ensureEngineFiles(std::vector<PlatformHandle>* held) { return ensureEngineFilesIn(engineFolder(), held); }

std::string ensureEngineFilesIn(const std::wstring& folder, std::vector<PlatformHandle>* held) {
    const std::wstring self = modulePath();
    WIN32_FILE_ATTRIBUTE_DATA attributes{};
    if (!GetFileAttributesExW(self.c_str(), GetFileExInfoStandard, &attributes)) attributes = {};

    // Without an engine folder nothing is read or written: the paths would otherwise name the root
    // of the current drive ("\\xray-core.exe").
    std::vector<PlatformHandle> pinned;
    EngineFilesOps ops;
    ops.marker = engineMarker(vlm::build::kVersion, attributes.nFileSizeLow, attributes.ftLastWriteTime.dwLowDateTime);
    ops.prepareFolder = [&] {
        if (folder.empty()) return false;
        CheckedFile made = adminOnlyFolder(folder);
        if (!made.handle && !made.refused) {
            // A folder to be made afresh cannot be moved aside while an engine left running from it
            // holds its file.
            killLeftoverEngines();
            made = adminOnlyFolder(folder);
        }
        if (!made.handle) {
            logLine("engine folder refused: " + made.failure);
            return false;
        }
        pinned.push_back(platformHandle(std::move(made.handle)));
        return true;
    };
    ops.verify = [&](const EngineFile& f) { return verifyEngineFile(inEngineFolder(folder, f.name), f.resourceId, pinned); };
    ops.stopLeftoverEngines = killLeftoverEngines;
    ops.extract = [&](int id, const char* name) { return extractEngineFile(id, inEngineFolder(folder, name)); };
    ops.writeMarker = [&](const std::string& marker) {
        const std::string why = replaceFile(folder + L"\\" + utf8ToWide(kEngineMarkerName), marker);
        if (!why.empty()) logLine("engine marker not written: " + why);  // nothing depends on it
    };
    const std::string message = ensureEngineFilesWith(ops);
    if (message.empty() && held) {
        for (PlatformHandle& h : pinned) held->push_back(std::move(h));
    }
    return message;
}
