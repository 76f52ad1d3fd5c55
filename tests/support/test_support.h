// Shared helpers for tests: a private temporary folder removed at the end of the test.
#pragma once

#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <system_error>

struct TempFolder {
    std::filesystem::path path;
    TempFolder() {
        std::random_device rd;
        std::error_code ec;
        for (int i = 0; i < 100; ++i) {
            path = std::filesystem::temp_directory_path(ec) / ("vlm-test-" + std::to_string(rd()));
            if (std::filesystem::create_directory(path, ec)) return;
        }
        path.clear();
    }
    ~TempFolder() {
        std::error_code ec;
        if (!path.empty()) std::filesystem::remove_all(path, ec);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
};

inline std::string readFileBytes(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline bool writeFileBytes(const std::filesystem::path& p, const std::string& bytes) {
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}
