// UTF-8 inside the program, UTF-16 only at the Windows calls.
#pragma once

#include <string>

// Invalid sequences come out as U+FFFD, as the platform conversion does with flags 0.
std::wstring utf8ToWide(const std::string& utf8);
std::string wideToUtf8(const std::wstring& wide);
