#include "foundation/json.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

namespace {

std::string roundTrip(const std::string& text) {
    JsonValue v;
    if (!parseJson(text, v)) return "<invalid>";
    return writeJson(v);
}

std::string nested(int depth, char open, char close, const std::string& inner) {
    return std::string(static_cast<size_t>(depth), open) + inner + std::string(static_cast<size_t>(depth), close);
}

std::string nestedObjects(int depth) {
    std::string s;
    for (int i = 0; i < depth; ++i) s += "{\"k\":";
    s += "1";
    for (int i = 0; i < depth; ++i) s += "}";
    return s;
}

}  // namespace

TEST(JsonParse, AcceptsAndWritesCompactly) {
    const struct { const char* in; const char* out; } rows[] = {
        {"null", "null"},
        {" \t\r\n true \n", "true"},
        {"false", "false"},
        {"[]", "[]"},
        {"{}", "{}"},
        {"[ ]", "[]"},
        {"{ }", "{}"},
        {" { \"a\" : 1 } ", "{\"a\":1}"},
        {"[1,[2,[3,{}]],{\"x\":[]}]", "[1,[2,[3,{}]],{\"x\":[]}]"},
        {"{\"a\":1,\"a\":2}", "{\"a\":1,\"a\":2}"},      // duplicates are kept
        {"\"\\u00e9\"", "\"\xC3\xA9\""},                     // escapes become raw UTF-8
        {"\"\\ud83d\\ude00\"", "\"\xF0\x9F\x98\x80\""},      // a surrogate pair is combined
        {"\"\\ud83d\"", "\"\xED\xA0\xBD\""},                 // a lone high surrogate stands alone
        {"\"\\ude00\"", "\"\xED\xB8\x80\""},                 // so does a lone low one
        {"\"\\ud800\\u0041\"", "\"\xE2\x91\x81\""},          // the low half is not range-checked
        {"\"\\ud83d\\u0041\"", "\"\xF0\x91\xA1\x81\""},
        {"\"\\q\"", "\"q\""},                                // unknown escapes give the letter
        {"\"\\/\\\\\\\"\"", "\"/\\\\\\\"\""},
        {"\"\\b\\f\\n\\r\\t\"", "\"\\u0008\\u000c\\n\\r\\t\""},
        {"\"\\u0041\\u00410\"", "\"AA0\""},
        {"\"\\u00E9\"", "\"\xC3\xA9\""},                     // upper-case hex digits
        {"\"a\x01\x7F\xFF\"", "\"a\\u0001\x7F\xFF\""},       // raw control bytes are accepted
        {"\"\xD0\x9F\xD1\x80\xD0\xB8\"", "\"\xD0\x9F\xD1\x80\xD0\xB8\""},
        {"1e3", "1000"},
        {"3.0", "3"},
        {"0.5", "0.5"},
        {"-0", "0"},
        {"-0.0", "0"},
        {"0.1", "0.10000000000000001"},
        {"+12", "12"},                                       // whatever strtod accepts
        {"007", "7"},
        {"0x10", "16"},
        {"0x1p4", "16"},
        {".5", "0.5"},
        {"5.", "5"},
        {"1e400", "inf"},
        {"-Infinity", "-inf"},
        {"[1,-2.5e-3]", "[1,-0.0025000000000000001]"},
        {"9007199254740993", "9007199254740992"},
        {"-9223372036854775808", "-9223372036854775808"},
        {"9223372036854775807", "9.2233720368547758e+18"},   // 2^63: outside the 64-bit range
        {"1e19", "1e+19"},
        {"-1e19", "-1e+19"},
        {"1e300", "1.0000000000000001e+300"},
        {"123456789012", "123456789012"},
        {"[true,false,null]", "[true,false,null]"},
        {"\v1", "1"},                                       // strtod skips its own whitespace
    };
    for (const auto& r : rows) EXPECT_EQ(roundTrip(r.in), r.out) << "input: " << r.in;
}

TEST(JsonParse, Refuses) {
    const std::string rows[] = {
        "",
        "   ",
        "\n\t",
        "{} x",
        "{\"a\":1}x",
        "[1,]",
        "{\"a\":1,}",
        "[1 2]",
        "{\"a\" 1}",
        "{a:1}",
        "{\"a\":}",
        "{,}",
        "[,1]",
        "\"abc",
        "\"abc\\\"",
        "\"\\",
        "\"",
        "[",
        "{",
        "{\"a\"",
        "{\"a\":1",
        "[1",
        "truex",
        "nul",
        "tru",
        "-",
        "+",
        "e5",
        "]",
        "}",
        ",",
        "\"\\u12G4\"",                  // a non-hex digit in an escape
        "\"\\u12\"",                    // the closing quote is eaten as a "digit"
        std::string("1\0", 2),          // strtod stops at the zero byte
        std::string("\"a\0", 3),
    };
    for (const auto& r : rows) {
        JsonValue v;
        EXPECT_FALSE(parseJson(r, v)) << "input: " << r;
    }
}

TEST(JsonParse, NestingLimit) {
    JsonValue v;
    EXPECT_TRUE(parseJson(nested(kJsonMaxDepth, '[', ']', ""), v));
    EXPECT_TRUE(parseJson(nested(kJsonMaxDepth, '[', ']', "1"), v));
    EXPECT_FALSE(parseJson(nested(kJsonMaxDepth + 1, '[', ']', ""), v));
    EXPECT_TRUE(parseJson(nestedObjects(kJsonMaxDepth), v));
    EXPECT_FALSE(parseJson(nestedObjects(kJsonMaxDepth + 1), v));
    // Far deeper than the limit: refused, not a stack overflow.
    EXPECT_FALSE(parseJson(nested(1000000, '[', ']', ""), v));
    EXPECT_FALSE(parseJson(std::string(1000000, '['), v));
    EXPECT_FALSE(parseJson(nestedObjects(100000), v));
    // The depth counts containers only; a deep document at the limit still writes back exactly.
    const std::string deep = nested(kJsonMaxDepth, '[', ']', "\"x\"");
    EXPECT_EQ(roundTrip(deep), deep);
}

TEST(JsonParse, FailureLeavesAPartialValueOnly) {
    JsonValue v(JsonKind::Object);
    v["old"] = 1;
    EXPECT_FALSE(parseJson("[1,2", v));
    EXPECT_EQ(v.find("old").kind, JsonKind::Null);  // the old content is gone, never merged
}

TEST(JsonWrite, Numbers) {
    const struct { double d; const char* out; } rows[] = {
        {5.0, "5"},
        {-0.0, "0"},
        {2.5, "2.5"},
        {0.1, "0.10000000000000001"},
        {-3.0, "-3"},
        {1e300, "1.0000000000000001e+300"},
        {1e-300, "1e-300"},
        {4294967296.0, "4294967296"},
        {-9223372036854775808.0, "-9223372036854775808"},
        {9223372036854775808.0, "9.2233720368547758e+18"},
        {-9223372036854777856.0, "-9.2233720368547779e+18"},
        {std::numeric_limits<double>::infinity(), "inf"},
        {-std::numeric_limits<double>::infinity(), "-inf"},
        {std::numeric_limits<double>::denorm_min(), "4.9406564584124654e-324"},
    };
    for (const auto& r : rows) EXPECT_EQ(writeJson(JsonValue(r.d)), r.out) << r.d;
    EXPECT_EQ(writeJson(JsonValue(-7)), "-7");
    EXPECT_EQ(writeJson(JsonValue(INT32_MIN)), "-2147483648");
}

TEST(JsonWrite, StringBytes) {
    std::string all;
    for (int c = 1; c < 256; ++c) all += static_cast<char>(c);
    const std::string out = writeJson(JsonValue(all));
    std::string expected = "\"\\u0001\\u0002\\u0003\\u0004\\u0005\\u0006\\u0007\\u0008\\t\\n\\u000b\\u000c\\r"
                           "\\u000e\\u000f\\u0010\\u0011\\u0012\\u0013\\u0014\\u0015\\u0016\\u0017\\u0018"
                           "\\u0019\\u001a\\u001b\\u001c\\u001d\\u001e\\u001f !\\\"";
    for (int c = 0x23; c < 256; ++c) {
        if (c == '\\') expected += "\\\\";
        else expected += static_cast<char>(c);
    }
    expected += '"';
    EXPECT_EQ(out, expected);
    EXPECT_EQ(writeJson(JsonValue(std::string("a\0b", 3))), "\"a\\u0000b\"");
    EXPECT_EQ(writeJson(JsonValue("")), "\"\"");
}

TEST(JsonValue, BuildingAndReading) {
    JsonValue o;
    o["b"] = 1;
    o["a"] = "x";
    o["b"] = 2;  // an existing key keeps its place
    EXPECT_EQ(writeJson(o), "{\"b\":2,\"a\":\"x\"}");
    o.member("list").push(JsonValue(true));
    o.member("list").push(JsonValue());
    EXPECT_EQ(writeJson(o), "{\"b\":2,\"a\":\"x\",\"list\":[true,null]}");

    EXPECT_EQ(writeJson(JsonValue(std::vector<std::string>{"geosite:x", "1.1.1.1"})), "[\"geosite:x\",\"1.1.1.1\"]");
    EXPECT_EQ(writeJson(JsonValue(std::vector<std::string>{})), "[]");
    EXPECT_EQ(writeJson(JsonValue(JsonKind::Object)), "{}");
    EXPECT_EQ(writeJson(JsonValue(JsonKind::Array)), "[]");

    JsonValue d;
    ASSERT_TRUE(parseJson("{\"a\":1,\"a\":2,\"s\":\"t\",\"f\":true,\"n\":-2.9}", d));
    EXPECT_EQ(d.find("a").asNumber(0), 1);
    EXPECT_EQ(d.find("missing").kind, JsonKind::Null);
    EXPECT_EQ(&d.find("missing"), &jsonNull());
    EXPECT_EQ(d.find("s").asNumber(7), 7);
    EXPECT_EQ(d.find("s").asText(), "t");
    EXPECT_EQ(d.find("a").asText("fallback"), "fallback");
    EXPECT_TRUE(d.find("f").asBool());
    EXPECT_FALSE(d.find("s").asBool());
    EXPECT_EQ(static_cast<long long>(d.find("n").asNumber(0)), -2);  // callers truncate toward zero
    // find on a value that is not an object sees no members.
    EXPECT_EQ(d.find("s").find("a").kind, JsonKind::Null);
    JsonValue arr;
    ASSERT_TRUE(parseJson("[{\"a\":1}]", arr));
    EXPECT_EQ(arr.find("a").kind, JsonKind::Null);

    // member() and push() turn a value of another kind into a container, keeping what it had.
    JsonValue s("text");
    s["k"] = 1;
    EXPECT_EQ(s.kind, JsonKind::Object);
    EXPECT_EQ(writeJson(s), "{\"k\":1}");
}

TEST(JsonValue, CopyIsDeepAndMoveEmptiesTheSource) {
    JsonValue a;
    ASSERT_TRUE(parseJson("{\"x\":[1,{\"y\":\"z\"}]}", a));
    JsonValue b = a;
    b["x"].items[1]["y"] = "changed";
    EXPECT_EQ(writeJson(a), "{\"x\":[1,{\"y\":\"z\"}]}");
    JsonValue c = std::move(b);
    EXPECT_EQ(b.kind, JsonKind::Object);  // NOLINT: the moved-from kind stays
    EXPECT_TRUE(b.members.empty());       // NOLINT
    EXPECT_EQ(writeJson(c), "{\"x\":[1,{\"y\":\"changed\"}]}");
}

TEST(JsonValue, RoundTripsStayFixed) {
    const char* docs[] = {
        "{\"log\":{\"level\":\"warn\"},\"inbounds\":[{\"port\":10808,\"listen\":\"127.0.0.1\"}],\"n\":[0.1,-1e-7,1e21]}",
        "[\"\\u0000\\u001f\",\"\xF0\x9F\x98\x80\",{\"\":{\"\":[]}}]",
        "{\"a\":1,\"a\":[null,true,false]}",
    };
    for (const char* doc : docs) {
        const std::string once = roundTrip(doc);
        ASSERT_NE(once, "<invalid>") << doc;
        EXPECT_EQ(roundTrip(once), once);
    }
}
