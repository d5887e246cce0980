// Sizes and drive names for the not-enough-space notice.
#include "app/space_notice.h"

#include <iterator>

#include <boost/format.hpp>

#include "app/ui_text.h"

std::wstring spaceText(std::int64_t bytes, bool russian, SizeRounding rounding) {
    static constexpr const wchar_t* kEnglishUnits[] = {L"KB", L"MB", L"GB"};
    static constexpr const wchar_t* kRussianUnits[] = {L"КБ", L"МБ", L"ГБ"};
    if (bytes < 0) bytes = 0;
    const auto tenthsOf = [&](std::int64_t divisor) {
        return (bytes * 10 + (rounding == SizeRounding::up ? divisor - 1 : 0)) / divisor;
    };
    std::size_t unit = 0;
    std::int64_t divisor = 1024;
    // A figure that would read 1024.0 or more goes to the next unit instead.
    std::int64_t tenths = tenthsOf(divisor);
    while (tenths >= 10240 && unit + 1 < std::size(kEnglishUnits)) {
        ++unit;
        divisor *= 1024;
        tenths = tenthsOf(divisor);
    }
    const wchar_t* name = russian ? kRussianUnits[unit] : kEnglishUnits[unit];
    return std::to_wstring(tenths / 10) + (russian ? L"," : L".") + std::to_wstring(tenths % 10) + L" " + name;
}

std::wstring driveOf(const std::wstring& path) {
    std::wstring rest = path;
    for (const std::wstring prefix : {L"\\\\?\\UNC\\", L"\\\\?\\"}) {
        if (rest.rfind(prefix, 0) == 0) {
            rest = (prefix.size() == 8 ? L"\\\\" : L"") + rest.substr(prefix.size());
            break;
        }
    }
    if (rest.size() >= 2 && rest[1] == L':' && ((rest[0] >= L'A' && rest[0] <= L'Z') || (rest[0] >= L'a' && rest[0] <= L'z'))) return rest.substr(0, 2);
    if (rest.rfind(L"\\\\", 0) == 0) {
        // \\server\share: up to the separator after the share's name.
        const std::size_t server = rest.find(L'\\', 2);
        const std::size_t share = server == std::wstring::npos ? server : rest.find(L'\\', server + 1);
        return rest.substr(0, share);
    }
    return path;
}

std::wstring notEnoughSpaceNotice(std::int64_t bytes, const std::wstring& path) {
    const bool russian = languageRecord().languageId == kRussianLanguageId;
    return (boost::wformat(uiText(kTextNotEnoughSpace)) % spaceText(bytes, russian) % driveOf(path)).str();
}
