// Linux side of the OS queries: used by the native tools and tests.
#include "platform/system.h"

#include <cstdlib>
#include <string>
#include <system_error>

#include "platform/text.h"

namespace platform {

std::wstring ownExecutablePath() {
    std::error_code error;
    std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error) return {};
    return fromUtf8(self.string());
}

namespace {

struct LocaleLanguage {
    const char* prefix;
    std::uint16_t langId;
};

// Longer prefixes first, so that "ru_MD" wins over "ru".
constexpr LocaleLanguage kLocaleLanguages[] = {
    {"ru_RU", 0x0419}, {"ru_MD", 0x0819}, {"ru_UA", 0x0419}, {"ru", 0x0419},
    {"uk_UA", 0x0422}, {"uk", 0x0422},    {"en_GB", 0x0809}, {"en_US", 0x0409},
    {"en", 0x0409},    {"de_DE", 0x0407}, {"de", 0x0407},    {"fr_FR", 0x040C},
    {"fr", 0x040C},    {"be_BY", 0x0423}, {"kk_KZ", 0x043F},
};

std::string localeName() {
    for (const char* variable : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* value = std::getenv(variable);
        if (value && *value) return value;
    }
    return {};
}

}  // namespace

std::uint16_t userInterfaceLanguage() {
    const std::string name = localeName();
    for (const LocaleLanguage& entry : kLocaleLanguages) {
        if (name.rfind(entry.prefix, 0) == 0) return entry.langId;
    }
    return 0x0409;
}

}  // namespace platform
