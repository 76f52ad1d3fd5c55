#include "foundation/json.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>

JsonValue::JsonValue(const std::vector<std::string>& strings) : kind(JsonKind::Array) {
    items.reserve(strings.size());
    for (const std::string& s : strings) items.emplace_back(s);
}

JsonValue& JsonValue::member(std::string_view key) {
    kind = JsonKind::Object;
    for (auto& m : members) {
        if (m.first == key) return m.second;
    }
    members.emplace_back(std::string(key), JsonValue());
    return members.back().second;
}

void JsonValue::push(JsonValue value) {
    kind = JsonKind::Array;
    items.push_back(std::move(value));
}

const JsonValue& jsonNull() {
    static const JsonValue null;
    return null;
}

const JsonValue& JsonValue::find(std::string_view key) const {
    for (const auto& m : members) {
        if (m.first == key) return m.second;
    }
    return jsonNull();
}

namespace {

void dumpNumber(double d, std::string& out) {
    // Truncate toward zero; values outside the 64-bit range (and NaN) take the minimum, as the
    // hardware conversion would, but without the undefined out-of-range cast.
    int64_t t = INT64_MIN;
    if (d >= -9223372036854775808.0 && d < 9223372036854775808.0) t = static_cast<int64_t>(d);
    char buf[40];
    if (static_cast<double>(t) == d) {
        std::snprintf(buf, sizeof buf, "%lld", static_cast<long long>(t));
    } else {
        std::snprintf(buf, sizeof buf, "%.17g", d);
    }
    out += buf;
}

void dumpString(const std::string& s, std::string& out) {
    out += '"';
    for (char ch : s) {
        const unsigned char c = static_cast<unsigned char>(ch);
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (c < 0x20) {
                char buf[8];
                std::snprintf(buf, sizeof buf, "\\u%04x", c);
                out += buf;
            } else {
                out += ch;
            }
        }
    }
    out += '"';
}

void dumpValue(const JsonValue& v, std::string& out) {
    switch (v.kind) {
    case JsonKind::Null: out += "null"; break;
    case JsonKind::Bool: out += v.boolean ? "true" : "false"; break;
    case JsonKind::Number: dumpNumber(v.number, out); break;
    case JsonKind::String: dumpString(v.text, out); break;
    case JsonKind::Array:
        out += '[';
        for (size_t i = 0; i < v.items.size(); ++i) {
            if (i) out += ',';
            dumpValue(v.items[i], out);
        }
        out += ']';
        break;
    case JsonKind::Object:
        out += '{';
        for (size_t i = 0; i < v.members.size(); ++i) {
            if (i) out += ',';
            dumpString(v.members[i].first, out);
            out += ':';
            dumpValue(v.members[i].second, out);
        }
        out += '}';
        break;
    }
}

struct Parser {
    const std::string& text;
    size_t pos = 0;
    bool ok = true;

    bool atEnd() const { return pos >= text.size(); }
    char peek() const { return text[pos]; }
    void skipSpace() {
        while (pos < text.size()) {
            const char c = text[pos];
            if (c != ' ' && c != '\n' && c != '\r' && c != '\t') break;
            ++pos;
        }
    }
    bool startsWith(std::string_view literal) const {
        return text.compare(pos, literal.size(), literal) == 0;
    }

    // Up to four hexadecimal digits; a byte that is not one clears ok, is consumed and adds nothing.
    uint32_t readHex4() {
        uint32_t value = 0;
        for (int i = 0; i < 4 && !atEnd(); ++i) {
            const char c = text[pos++];
            if (c >= '0' && c <= '9') value = (value << 4) + static_cast<uint32_t>(c - '0');
            else if (c >= 'a' && c <= 'f') value = (value << 4) + static_cast<uint32_t>(c - 'a' + 10);
            else if (c >= 'A' && c <= 'F') value = (value << 4) + static_cast<uint32_t>(c - 'A' + 10);
            else ok = false;
        }
        return value;
    }

    static void appendUtf8(uint32_t cp, std::string& out) {
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += static_cast<char>(0xE0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (cp >> 18));
            out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }

    void parseUnicodeEscape(std::string& out) {
        uint32_t cp = readHex4();
        if (cp >= 0xD800 && cp <= 0xDBFF && pos + 1 < text.size() && text[pos] == '\\' &&
            text[pos + 1] == 'u') {
            pos += 2;
            const uint32_t low = readHex4();
            // The low half is taken as it comes, without a range check.
            cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
        }
        appendUtf8(cp, out);
    }

    // The position is on the opening quote.
    void parseString(std::string& out) {
        ++pos;
        if (atEnd()) {
            ok = false;
            return;
        }
        for (;;) {
            const char c = text[pos];
            if (c == '"') {
                ++pos;
                return;
            }
            if (c != '\\' || pos + 1 == text.size()) {
                out += c;
                ++pos;
            } else {
                const char e = text[pos + 1];
                pos += 2;
                switch (e) {
                case 'b': out += '\b'; break;
                case 'f': out += '\f'; break;
                case 'n': out += '\n'; break;
                case 'r': out += '\r'; break;
                case 't': out += '\t'; break;
                case 'u': parseUnicodeEscape(out); break;
                default: out += e;
                }
            }
            if (atEnd()) {
                ok = false;
                return;
            }
        }
    }

    void parseValue(JsonValue& out, int depth) {
        skipSpace();
        if (atEnd()) {
            ok = false;
            return;
        }
        const char c = peek();
        if (c == '{' || c == '[') {
            if (depth >= kJsonMaxDepth) {
                ok = false;
                return;
            }
            if (c == '{') parseObject(out, depth + 1);
            else parseArray(out, depth + 1);
        } else if (c == '"') {
            out.kind = JsonKind::String;
            parseString(out.text);
        } else if (startsWith("true")) {
            out = JsonValue(true);
            pos += 4;
        } else if (startsWith("false")) {
            out = JsonValue(false);
            pos += 5;
        } else if (startsWith("null")) {
            pos += 4;
        } else {
            // Whatever strtod accepts is a number (the program never leaves the "C" locale).
            const char* start = text.c_str() + pos;
            char* end = nullptr;
            const double d = std::strtod(start, &end);
            if (end == start) {
                ok = false;
                return;
            }
            pos += static_cast<size_t>(end - start);
            out = JsonValue(d);
        }
    }

    void parseObject(JsonValue& out, int depth) {
        out.kind = JsonKind::Object;
        ++pos;
        skipSpace();
        if (!atEnd() && peek() == '}') {
            ++pos;
            return;
        }
        while (ok) {
            skipSpace();
            if (atEnd() || peek() != '"') {
                ok = false;
                break;
            }
            std::string key;
            parseString(key);
            skipSpace();
            if (atEnd() || peek() != ':') {
                ok = false;
                break;
            }
            ++pos;
            JsonValue value;
            parseValue(value, depth);
            out.members.emplace_back(std::move(key), std::move(value));
            skipSpace();
            if (atEnd()) {
                ok = false;
            } else if (peek() == ',') {
                ++pos;
            } else if (peek() == '}') {
                ++pos;
                break;
            } else {
                ok = false;
            }
        }
    }

    void parseArray(JsonValue& out, int depth) {
        out.kind = JsonKind::Array;
        ++pos;
        skipSpace();
        if (!atEnd() && peek() == ']') {
            ++pos;
            return;
        }
        while (ok) {
            JsonValue value;
            parseValue(value, depth);
            out.items.push_back(std::move(value));
            skipSpace();
            if (atEnd()) {
                ok = false;
            } else if (peek() == ',') {
                ++pos;
            } else if (peek() == ']') {
                ++pos;
                break;
            } else {
                ok = false;
            }
        }
    }
};

}  // namespace

std::string writeJson(const JsonValue& value) {
    std::string out;
    dumpValue(value, out);
    return out;
}

bool parseJson(const std::string& text, JsonValue& out) {
    out = JsonValue();
    Parser p{text};
    p.parseValue(out, 0);
    p.skipSpace();
    return p.ok && p.pos == text.size();
}
