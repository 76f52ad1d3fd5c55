#include "tunnel/engine_files.h"

#include <windows.h>
#include <tlhelp32.h>

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "build_config.h"
#include "foundation/handles_win.h"
#include "foundation/log.h"
#include "foundation/paths.h"
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

bool decompressWithPlatform(const CompressionApi& api, const void* packed, size_t packedSize,
                            std::vector<uint8_t>& out) {
    DecompressorHandle d = nullptr;
    if (!api.create(kCompressAlgorithmLzms, nullptr, &d)) {
        logLine("CreateDecompressor failed: " + std::to_string(GetLastError()));
        return false;
    }
    // Asked without a buffer, the call fails and reports the unpacked size.
    SIZE_T size = 0;
    api.decompress(d, packed, packedSize, nullptr, 0, &size);
    if (size == 0) {
        api.close(d);
        return false;
    }
    out.assign(size, 0);
    SIZE_T got = 0;
    if (!api.decompress(d, packed, packedSize, out.data(), size, &got)) {
        logLine("Decompress failed: " + std::to_string(GetLastError()));
        api.close(d);
        return false;
    }
    api.close(d);
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

bool sameTextIgnoringCase(const wchar_t* a, const wchar_t* b) {
    return CompareStringOrdinal(a, -1, b, -1, TRUE) == CSTR_EQUAL;
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
    UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) return;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot.get(), &entry); more; more = Process32NextW(snapshot.get(), &entry)) {
        bool engineName = false;
        for (const wchar_t* name : {L"xray-core.exe", L"sing-box.exe"}) {
            if (sameTextIgnoringCase(entry.szExeFile, name)) engineName = true;
        }
        if (!engineName) continue;
        UniqueHandle process(OpenProcess(PROCESS_TERMINATE | PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE,
                                         entry.th32ProcessID));
        if (!process) continue;
        wchar_t image[520];
        DWORD length = 520;
        if (!QueryFullProcessImageNameW(process.get(), 0, image, &length)) continue;
        if (!isInsideFolder(std::wstring(image, length), folder)) continue;
        TerminateProcess(process.get(), 1);
        WaitForSingleObject(process.get(), 2000);
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
