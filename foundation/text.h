// UTF-8 inside the program, UTF-16 only at the Windows calls; ASCII case folding.
#pragma once

#include <string>

// Invalid sequences come out as U+FFFD, as the platform conversion does with flags 0.
std::wstring utf8ToWide(const std::string& utf8);
std::string wideToUtf8(const std::wstring& wide);

// ASCII-only lower case: other bytes, UTF-8 included, pass unchanged (no locale involved).
inline char lowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }
inline std::string lowerAscii(std::string text) {
    for (char& c : text) c = lowerAscii(c);
    return text;
}
