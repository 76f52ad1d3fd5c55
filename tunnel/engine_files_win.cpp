#include "tunnel/engine_files.h"

#include <windows.h>

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "build_config.h"
#include "foundation/handles_win.h"
#include "foundation/log.h"
#include "foundation/paths.h"
#include "foundation/process_win.h"
#include "foundation/text.h"
#include "foundation/lzms/container.h"

namespace {

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

std::string readStoredMarker(const std::wstring& path) {
    FILE* f = _wfopen(path.c_str(), L"rb");
    if (!f) return {};
    char buf[kEngineMarkerReadLimit];
    const size_t n = std::fread(buf, 1, sizeof buf, f);
    std::fclose(f);
    return std::string(buf, n);
}

void writeStoredMarker(const std::wstring& path, const std::string& marker) {
    FILE* f = _wfopen(path.c_str(), L"wb");
    if (!f) return;  // the next tunnel start unpacks again
    std::fwrite(marker.data(), 1, marker.size(), f);
    std::fclose(f);
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

    UniqueHandle file(CreateFileW(targetPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        logLine("cannot create engine file: " + std::to_string(GetLastError()) + " " + wideToUtf8(targetPath));
        return false;
    }
    const DWORD size = static_cast<DWORD>(bytes.size());
    DWORD written = 0;
    const BOOL ok = WriteFile(file.get(), bytes.data(), size, &written, nullptr);
    return ok && written == bytes.size();
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

std::string ensureEngineFiles() { return ensureEngineFilesIn(engineFolder()); }

std::string ensureEngineFilesIn(const std::wstring& folder) {
    const std::wstring self = modulePath();
    WIN32_FILE_ATTRIBUTE_DATA attributes{};
    if (!GetFileAttributesExW(self.c_str(), GetFileExInfoStandard, &attributes)) attributes = {};

    // Without an engine folder every check fails and nothing is read or written: the paths would
    // otherwise name the root of the current drive ("\\.build", "\\xray-core.exe").
    const bool haveFolder = !folder.empty();
    const std::wstring markerPath = folder + L"\\" + utf8ToWide(kEngineMarkerName);
    EngineFilesOps ops;
    ops.expectedMarker = engineMarker(vlm::build::kVersion, attributes.nFileSizeLow,
                                      attributes.ftLastWriteTime.dwLowDateTime);
    ops.readMarker = [&] { return haveFolder ? readStoredMarker(markerPath) : std::string(); };
    ops.present = [&](const char* name) {
        return haveFolder && GetFileAttributesW(inEngineFolder(folder, name).c_str()) != INVALID_FILE_ATTRIBUTES;
    };
    ops.stopLeftoverEngines = killLeftoverEngines;
    ops.extract = [&](int id, const char* name) {
        return haveFolder && extractEngineFile(id, inEngineFolder(folder, name));
    };
    ops.writeMarker = [&](const std::string& marker) {
        if (haveFolder) writeStoredMarker(markerPath, marker);
    };
    return ensureEngineFilesWith(ops);
}
