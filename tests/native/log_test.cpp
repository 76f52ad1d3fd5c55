// What reaches the log of a message: control characters escaped, the line format kept.
#include "foundation/log.h"

#include <gtest/gtest.h>

#include <string>

TEST(Log, ControlCharactersAreEscapedAndTheRestKept) {
    const struct {
        std::string message, written;
    } rows[] = {
        {"connected", "connected"},
        {"first\r\nforged 12:00:00 line", "first\\r\\nforged 12:00:00 line"},
        {"tab\there", "tab\\there"},
        {"\x1B[31mred\x1B[0m", "\\x1B[31mred\\x1B[0m"},
        {std::string("\x01\x1F\x7F\x20", 4), "\\x01\\x1F\\x7F "},
        {"C:\\Users\\\xD0\x98\xD0\xB2\xD0\xB0\xD0\xBD\\engine.log", "C:\\Users\\\xD0\x98\xD0\xB2\xD0\xB0\xD0\xBD\\engine.log"},
        {"\x80\xFF", "\x80\xFF"},  // not UTF-8: written as it came
        {std::string("cut\0hidden\n", 11), "cut"},
        {"", ""},
    };
    for (const auto& row : rows) EXPECT_EQ(logText(row.message), row.written) << row.written;
    EXPECT_EQ(logLineText(7, 5, 9, "a\nb"), "07:05:09 a\\nb\r\n");
}
