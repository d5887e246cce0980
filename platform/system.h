// What the portable code takes from the operating system directly: the
// program's own file, the user's interface language, the temporary directory
// and wide paths as the standard library's file streams want them.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

namespace platform {

// Full path of the running executable (UTF-16 module path on Windows,
// /proc/self/exe elsewhere); empty when it cannot be determined.
std::wstring ownExecutablePath();

// The user's interface language as a Windows LANGID. Windows asks
// GetUserDefaultUILanguage; Linux maps the locale environment
// (LC_ALL, LC_MESSAGES, LANG) onto the same identifiers, e.g. ru_RU -> 0x0419.
std::uint16_t userInterfaceLanguage();

// The system temporary directory without a trailing separator.
std::wstring temporaryDirectory();

// A wide path as a std::filesystem::path (UTF-8 on Linux, UTF-16 on Windows).
std::filesystem::path nativePath(const std::wstring& path);

}  // namespace platform
