// Linux side of the OS queries: used by the native tools and tests.
#include "platform/system.h"

#include <cstdlib>
#include <string>
#include <system_error>

#include "platform/locale_language.h"
#include "platform/text.h"

namespace platform {

std::wstring ownExecutablePath() {
    std::error_code error;
    std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error) return {};
    return fromUtf8(self.string());
}

namespace {

// The variables glibc consults for message texts, in its order of precedence.
std::string messagesLocaleName() {
    for (const char* variable : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* value = std::getenv(variable);
        if (value && *value) return value;
    }
    return {};
}

}  // namespace

std::uint16_t userInterfaceLanguage() { return languageIdOfLocale(messagesLocaleName()); }

}  // namespace platform
