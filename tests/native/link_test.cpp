#include "tunnel/link.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

namespace {

using Params = std::map<std::string, std::string>;

struct LinkRow {
    const char* text;
    bool usable;
    const char* userId;
    const char* host;
    int port;
    Params params;
};

}  // namespace

TEST(LinkParse, Rows) {
    const LinkRow rows[] = {
        {"vless://abc@srv1:853?type=ws&path=%2Fws#My%20server", true, "abc", "srv1", 853,
         {{"type", "ws"}, {"path", "/ws"}}},
        {"VLESS://abc@srv1", true, "abc", "srv1", 443, {}},
        {"VlEsS://AbC@SRV1:80?Type=WS", true, "AbC", "SRV1", 80, {{"Type", "WS"}}},
        {"vless://abc@[2001:db8::1]:443", true, "abc", "[2001:db8::1]", 443, {}},
        {"vless://abc@[2001:db8::1]", true, "abc", "[2001:db8:", 1, {}},
        {"vless://abc@srv1:0", true, "abc", "srv1", 443, {}},
        {"vless://abc@srv1:-5", true, "abc", "srv1", 443, {}},
        {"vless://abc@srv1:x", true, "abc", "srv1", 443, {}},
        {"vless://abc@srv1:", true, "abc", "srv1", 443, {}},
        {"vless://abc@srv1:70000", true, "abc", "srv1", 70000, {}},
        {"vless://abc@srv1: +85x", true, "abc", "srv1", 85, {}},
        {"vless://abc@srv1:99999999999", true, "abc", "srv1", 2147483647, {}},  // saturates like 32-bit strtol
        {"vless://abc@srv1:-99999999999", true, "abc", "srv1", 443, {}},
        {"vless://abc@srv1/?type=grpc", true, "abc", "srv1/", 443, {{"type", "grpc"}}},
        {"vless://abc@srv1:8443/?type=grpc", true, "abc", "srv1", 8443, {{"type", "grpc"}}},
        {"vless://abc@srv1:443 \t\r\n", true, "abc", "srv1", 443, {}},
        {"vless://abc@srv1\v\f", true, "abc", "srv1", 443, {}},
        {"vless://a%40b@srv1", true, "a@b", "srv1", 443, {}},
        {"vless://a@b@srv1", true, "a", "b@srv1", 443, {}},
        {"vless://abc@sr%41v", true, "abc", "sr%41v", 443, {}},  // the host is literal
        {"vless://abc@srv1?a=1&a=2", true, "abc", "srv1", 443, {{"a", "2"}}},
        {"vless://abc@srv1?flag&b=", true, "abc", "srv1", 443, {{"b", ""}}},
        {"vless://abc@srv1?=x&&c=%3D=&", true, "abc", "srv1", 443, {{"", "x"}, {"c", "=="}}},
        {"vless://abc@srv1?p=a+b%20c#x?y=z", true, "abc", "srv1", 443, {{"p", "a+b c"}}},
        {"vless://abc@srv1#frag@x:9?q=1", true, "abc", "srv1", 443, {}},
        {"vless://abc@srv1?k%41=v", true, "abc", "srv1", 443, {{"k%41", "v"}}},
        {"vless://@srv1", false, "", "srv1", 443, {}},
        {"vless://abc@", false, "abc", "", 443, {}},
        {"vless://abc@:80", false, "abc", "", 80, {}},
    };
    for (const LinkRow& row : rows) {
        SCOPED_TRACE(row.text);
        VlessLink link;
        EXPECT_EQ(parseVlessLink(row.text, link), row.usable);
        EXPECT_EQ(link.userId, row.userId);
        EXPECT_EQ(link.host, row.host);
        EXPECT_EQ(link.port, row.port);
        EXPECT_EQ(link.params, row.params);
    }
}

TEST(LinkParse, EarlyRejectionLeavesRecordUntouched) {
    const char* const texts[] = {"vless://srv1:443", "vmess://abc@srv1", " vless://abc@srv1", "vless:/", "",
                                 "vless://", "https://abc@srv1:443"};
    for (const char* text : texts) {
        SCOPED_TRACE(text);
        VlessLink link;
        link.userId = "keep";
        link.host = "kept";
        link.port = 7;
        link.params["z"] = "1";
        EXPECT_FALSE(parseVlessLink(text, link));
        EXPECT_EQ(link.userId, "keep");
        EXPECT_EQ(link.host, "kept");
        EXPECT_EQ(link.port, 7);
        EXPECT_EQ(link.params, (Params{{"z", "1"}}));
    }
}

TEST(LinkParse, FillsInPlace) {
    VlessLink link;
    link.port = 8080;
    link.params["old"] = "1";
    link.params["a"] = "0";
    EXPECT_TRUE(parseVlessLink("vless://abc@srv1?a=5", link));
    EXPECT_EQ(link.port, 8080);  // no port in the link: the caller's value stays
    EXPECT_EQ(link.params, (Params{{"a", "5"}, {"old", "1"}}));
}

TEST(LinkParse, HugeAndBinaryInputs) {
    VlessLink link;
    const std::string big(1 << 20, 'a');
    EXPECT_TRUE(parseVlessLink("vless://" + big + "@h?" + big + "=" + big, link));
    EXPECT_EQ(link.userId.size(), big.size());
    EXPECT_EQ(link.params.at(big), big);
    VlessLink withNul;
    EXPECT_TRUE(parseVlessLink(std::string("vless://a\0b@h\0s:12\0x", 20), withNul));
    EXPECT_EQ(withNul.userId, std::string("a\0b", 3));
    EXPECT_EQ(withNul.host, std::string("h\0s", 3));
    EXPECT_EQ(withNul.port, 12);
}

TEST(LinkPercent, Rows) {
    const struct {
        std::string in, out;
    } rows[] = {
        {"%41", "A"},
        {"%2f%2F", "//"},
        {"%zz", std::string(1, '\0')},
        {"%4z", "\x04"},
        {"% 4x", "\x04x"},          // white space before the digits is allowed
        {"%-1", "\xff"},            // a sign is allowed; the low 8 bits are kept
        {"%+f", "\x0f"},
        {"%0x41", std::string(1, '\0') + "41"},  // "0x" is no prefix: the reading stops at x
        {"%D0%9F", "\xD0\x9F"},
        {"a%", "a%"},
        {"a%4", "a%4"},
        {"%%41", std::string(1, '\0') + "1"},
        {"%41%", "A%"},
        {"100%", "100%"},
        {"a+b", "a+b"},
        {"", ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.in);
        EXPECT_EQ(percentDecode(row.in), row.out);
    }
}

TEST(LinkParam, EmptyCountsAsAbsent) {
    VlessLink link;
    link.params = {{"type", "ws"}, {"sni", ""}, {"", "x"}};
    EXPECT_EQ(linkParam(link, "type", "tcp"), "ws");
    EXPECT_EQ(linkParam(link, "sni", "fb"), "fb");
    EXPECT_EQ(linkParam(link, "Type", "tcp"), "tcp");
    EXPECT_EQ(linkParam(link, "", "fb"), "x");
}
