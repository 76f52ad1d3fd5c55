#include "foundation/log.h"

#include <gtest/gtest.h>

#include <regex>

#include "test_support.h"

TEST(NativeLog, WritesToTheChosenFolderOnly) {
    logLine("nowhere yet");  // no folder chosen: dropped, no crash
    TempFolder dir;
    ASSERT_FALSE(dir.path.empty());
    setLogFolder(dir.path.string());
    logLine("first");
    logLine(std::string("cut\0off", 7));
    const std::string text = readFileBytes(dir.path / "app.log");
    EXPECT_TRUE(std::regex_match(text, std::regex("[0-9]{2}:[0-9]{2}:[0-9]{2} first\r\n[0-9]{2}:[0-9]{2}:[0-9]{2} cut\r\n")))
        << text;
    setLogFolder("");
}
