// The POSIX locale name -> Windows language identifier (LANGID) mapping that
// stands in for GetUserDefaultUILanguage where there is no Windows.
#pragma once

#include <cstdint>
#include <string_view>

namespace platform {

// Windows' identifier of a locale that has no LANGID of its own (e.g. ru-UA).
inline constexpr std::uint16_t kCustomUnspecifiedLanguageId = 0x1000;

// Maps "language[_TERRITORY][.codeset][@modifier]": a known language and
// territory to its LANGID (ru_RU -> 0x0419, ru_MD -> 0x0819, uk_UA -> 0x0422);
// a known language without territory to that language's main LANGID (ru ->
// 0x0419); a known language with a territory that has no LANGID to
// kCustomUnspecifiedLanguageId; anything else ("", "C", "POSIX") to 0x0409.
std::uint16_t languageIdOfLocale(std::string_view localeName);

}  // namespace platform
