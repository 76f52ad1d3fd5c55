// The one JSON value type: ordered objects, every number a double, compact writer,
// lenient recursive-descent parser.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

enum class JsonKind : int32_t { Null = 0, Bool = 1, Number = 2, String = 3, Array = 4, Object = 5 };

// Deeper documents fail to parse instead of exhausting the stack; real documents nest a few levels.
inline constexpr int kJsonMaxDepth = 512;

struct JsonValue {
    JsonKind kind = JsonKind::Null;
    bool boolean = false;
    double number = 0.0;
    std::string text;
    std::vector<JsonValue> items;
    std::vector<std::pair<std::string, JsonValue>> members;  // insertion order; first equal key wins

    JsonValue() = default;
    JsonValue(bool flag) : kind(JsonKind::Bool), boolean(flag) {}
    JsonValue(int32_t value) : kind(JsonKind::Number), number(static_cast<double>(value)) {}
    explicit JsonValue(double value) : kind(JsonKind::Number), number(value) {}
    JsonValue(const char* value) : kind(JsonKind::String), text(value) {}
    JsonValue(std::string value) : kind(JsonKind::String), text(std::move(value)) {}
    explicit JsonValue(JsonKind emptyOfKind) : kind(emptyOfKind) {}
    // An Array of Strings in the list's order (domains, addresses, process names).
    explicit JsonValue(const std::vector<std::string>& strings);

    // Makes this an Object and returns the member's value, appending (key, Null) when absent.
    JsonValue& member(std::string_view key);
    JsonValue& operator[](std::string_view key) { return member(key); }
    // Makes this an Array and appends the element.
    void push(JsonValue value);

    // The first member with this key, or the static Null (also on a value that is not an Object).
    const JsonValue& find(std::string_view key) const;
    double asNumber(double fallback) const { return kind == JsonKind::Number ? number : fallback; }
    bool asBool() const { return kind == JsonKind::Bool && boolean; }
    // The text of a String, otherwise the fallback.
    std::string asText(std::string_view fallback = {}) const {
        return kind == JsonKind::String ? text : std::string(fallback);
    }
};

// The static Null that find returns for an absent key.
const JsonValue& jsonNull();

// The compact text: no whitespace, members in stored order, bytes >= 0x20 written unchanged.
std::string writeJson(const JsonValue& value);

// True only if the whole text is one well-formed value, optionally surrounded by whitespace.
// On false, out holds a partial value that the caller discards.
bool parseJson(const std::string& text, JsonValue& out);
