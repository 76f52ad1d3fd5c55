#include "foundation/paths.h"

#include <gtest/gtest.h>

TEST(DataFolder, KnownFolderFirstThenTemporaryFolder) {
    const struct { const wchar_t* known; const wchar_t* temp; const wchar_t* expected; } rows[] = {
        {L"C:\\Users\\u\\AppData\\Local", L"C:\\Temp\\", L"C:\\Users\\u\\AppData\\Local\\Velmorante"},
        {L"", L"C:\\Users\\u\\AppData\\Local\\Temp\\", L"C:\\Users\\u\\AppData\\Local\\Temp\\Velmorante"},
        {L"", L"C:\\Temp", L"C:\\Temp\\Velmorante"},
        {L"", L"", L""},
        {L"", L"\\", L""},
    };
    for (const auto& r : rows) EXPECT_EQ(chooseDataFolder(r.known, r.temp), r.expected) << r.known << " | " << r.temp;
}
