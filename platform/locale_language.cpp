// Locale name -> LANGID, portable so that it is tested on every platform.
#include "platform/locale_language.h"

namespace platform {

namespace {

struct LocaleLanguage {
    std::string_view language;
    std::string_view territory;
    std::uint16_t languageId;
};

// The first row of each language is its main identifier, the one Windows
// gives a user who picked the language without a region.
constexpr LocaleLanguage kLocaleLanguages[] = {
    {"ru", "RU", 0x0419}, {"ru", "MD", 0x0819},
    {"uk", "UA", 0x0422},
    {"be", "BY", 0x0423},
    {"kk", "KZ", 0x043F},
    {"en", "US", 0x0409}, {"en", "GB", 0x0809}, {"en", "AU", 0x0C09}, {"en", "CA", 0x1009},
    {"en", "NZ", 0x1409}, {"en", "IE", 0x1809}, {"en", "IN", 0x4009},
    {"de", "DE", 0x0407}, {"de", "CH", 0x0807}, {"de", "AT", 0x0C07},
    {"fr", "FR", 0x040C}, {"fr", "BE", 0x080C}, {"fr", "CA", 0x0C0C}, {"fr", "CH", 0x100C},
    {"es", "ES", 0x0C0A}, {"es", "MX", 0x080A},
    {"it", "IT", 0x0410},
    {"pl", "PL", 0x0415},
    {"pt", "BR", 0x0416}, {"pt", "PT", 0x0816},
    {"nl", "NL", 0x0413},
    {"cs", "CZ", 0x0405},
    {"tr", "TR", 0x041F},
    {"lv", "LV", 0x0426},
    {"lt", "LT", 0x0427},
    {"et", "EE", 0x0425},
    {"hy", "AM", 0x042B},
    {"ka", "GE", 0x0437},
    {"az", "AZ", 0x042C},
    {"uz", "UZ", 0x0443},
    {"ja", "JP", 0x0411},
    {"ko", "KR", 0x0412},
    {"zh", "CN", 0x0804}, {"zh", "TW", 0x0404},
};

constexpr std::uint16_t kEnglishUnitedStates = 0x0409;

}  // namespace

std::uint16_t languageIdOfLocale(std::string_view localeName) {
    // Drop the codeset and the modifier: "ru_RU.UTF-8@euro" -> "ru_RU".
    const std::size_t suffix = localeName.find_first_of(".@");
    if (suffix != std::string_view::npos) localeName = localeName.substr(0, suffix);

    std::string_view language = localeName;
    std::string_view territory;
    const std::size_t underscore = localeName.find('_');
    if (underscore != std::string_view::npos) {
        language = localeName.substr(0, underscore);
        territory = localeName.substr(underscore + 1);
    }

    const LocaleLanguage* main = nullptr;
    for (const LocaleLanguage& entry : kLocaleLanguages) {
        if (entry.language != language) continue;
        if (!main) main = &entry;
        if (entry.territory == territory) return entry.languageId;
    }
    if (!main) return kEnglishUnitedStates;
    return territory.empty() ? main->languageId : kCustomUnspecifiedLanguageId;
}

}  // namespace platform
