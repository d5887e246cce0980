// Conversions between the program's narrow UTF-8 text and its wide text.
// Invalid input is dropped, never replaced or thrown on.
#pragma once

#include <string>

namespace platform {

std::wstring fromUtf8(const std::string& utf8);
std::string toUtf8(const std::wstring& wide);

// The UTF-16 code units of a wide string (wchar_t is 32 bits on Linux and
// 16 bits on Windows); everything that leaves the process as wide text is UTF-16.
std::u16string toUtf16(const std::wstring& wide);
std::wstring fromUtf16(const std::u16string& utf16);

}  // namespace platform
