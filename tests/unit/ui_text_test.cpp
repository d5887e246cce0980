// Interface texts: language choice, the language record's life, and the
// locale -> language identifier mapping used where there is no Windows.
#include <gtest/gtest.h>

#include <boost/format.hpp>
#include <climits>
#include <string>
#include <utility>
#include <vector>

#include "app/ui_text.h"
#include "config/catalog.h"
#include "platform/locale_language.h"
#include "platform/system.h"

namespace {

// Puts the process's record into a known language and frees it afterwards,
// so that no test leaks its language into the next.
class WithLanguage {
public:
    explicit WithLanguage(std::uint16_t languageId) { languageRecord().languageId = languageId; }
    ~WithLanguage() { releaseLanguageRecord(); }
    WithLanguage(const WithLanguage&) = delete;
    WithLanguage& operator=(const WithLanguage&) = delete;
};

// The highest number of the table.
constexpr unsigned kLastText = 22;

std::vector<std::wstring> allTexts() {
    std::vector<std::wstring> texts;
    for (unsigned number = 0; number <= kLastText; ++number) texts.push_back(uiText(number));
    return texts;
}

TEST(UiText, RussianWindowForRussianAsUsedInRussia) {
    WithLanguage russian(0x0419);
    EXPECT_EQ((boost::wformat(uiText(8)) % catalogDisplayName(1)).str(), L"Установка PelMora");
    EXPECT_EQ(uiText(9), L"Подготовка к установке...");
    EXPECT_EQ(uiText(0), L"Закрытие программы");
    EXPECT_EQ(uiText(12), L"Внутренняя ошибка");
}

TEST(UiText, MessageAndClosingNoticeReadAsTwoSentences) {
    const std::pair<const wchar_t*, const wchar_t*> cases[] = {
        {L"Internal Error.", L"Internal Error. The program will be automatically closed!"},
        {L"Внутренняя ошибка", L"Внутренняя ошибка. The program will be automatically closed!"},
        {L"Download Error (system code: 7). ", L"Download Error (system code: 7). The program will be automatically closed!"},
        {L"", L"The program will be automatically closed!"},
    };
    for (const auto& [message, expected] : cases)
        EXPECT_EQ(joinSentences(message, L"The program will be automatically closed!"), expected);
}

TEST(UiText, EnglishWindowForOtherLanguages) {
    std::vector<std::wstring> english;
    {
        WithLanguage language(0x0409);
        english = allTexts();
        EXPECT_EQ((boost::wformat(uiText(8)) % catalogDisplayName(1)).str(), L"PelMora installation");
        EXPECT_EQ(uiText(9), L"Preparing to Install...");
        EXPECT_EQ(uiText(12), L"Internal Error.");
        EXPECT_EQ((boost::wformat(L"%ls: %i%%") % uiText(11) % 42).str(), L"Progress: 42%");
    }
    for (const std::uint16_t languageId : {0x0422, 0x0819, 0x0019, 0x1000, 0x0000, 0xFFFF}) {
        WithLanguage language(languageId);
        EXPECT_EQ(allTexts(), english) << std::hex << languageId;
    }
}

TEST(UiText, EveryTextExistsInBothLanguagesAndDiffers) {
    std::vector<std::wstring> russian;
    {
        WithLanguage language(0x0419);
        russian = allTexts();
    }
    WithLanguage language(0x0409);
    const std::vector<std::wstring> english = allTexts();
    for (unsigned number = 0; number <= kLastText; ++number) {
        SCOPED_TRACE(number);
        EXPECT_FALSE(russian[number].empty());
        EXPECT_FALSE(english[number].empty());
        EXPECT_NE(russian[number], english[number]);
    }
    // The dialog and the error box ask for their own numbers of the same words.
    EXPECT_EQ(english[1], english[5]);
    EXPECT_EQ(russian[1], russian[5]);
    EXPECT_EQ(english[9], english[10]);
    EXPECT_EQ(russian[9], russian[10]);
}

TEST(UiText, NumbersBeyondTheTableAreEmpty) {
    for (const std::uint16_t languageId : {0x0419, 0x0409}) {
        WithLanguage language(languageId);
        for (const unsigned number : {kLastText + 1, 1000u, UINT_MAX}) EXPECT_EQ(uiText(number), L"") << number;
    }
}

TEST(LanguageRecord, CreatedOnFirstLookupAndReadAgainAfterRelease) {
    releaseLanguageRecord();
    EXPECT_FALSE(hasLanguageRecord());
    uiText(0);
    ASSERT_TRUE(hasLanguageRecord());
    EXPECT_EQ(languageRecord().languageId, platform::userInterfaceLanguage());

    // The language is kept for the rest of the process, not asked again.
    languageRecord().languageId = 0x0419;
    EXPECT_EQ(uiText(4), L"Ошибка!");
    languageRecord().languageId = 0x0409;
    EXPECT_EQ(uiText(4), L"Error!");

    releaseLanguageRecord();
    EXPECT_FALSE(hasLanguageRecord());
    uiText(1000);  // even a number outside the table creates the record
    EXPECT_TRUE(hasLanguageRecord());
    EXPECT_EQ(languageRecord().languageId, platform::userInterfaceLanguage());
    releaseLanguageRecord();
}

struct LocaleCase {
    const char* locale;
    std::uint16_t languageId;
};

TEST(LanguageIdOfLocale, MapsPosixLocalesOntoWindowsIdentifiers) {
    const std::vector<LocaleCase> cases = {
        {"ru_RU", 0x0419},       {"ru_RU.UTF-8", 0x0419}, {"ru_RU.KOI8-R", 0x0419}, {"ru_RU@latin", 0x0419},
        {"ru", 0x0419},          {"ru.UTF-8", 0x0419},    {"ru_MD", 0x0819},        {"ru_MD.UTF-8", 0x0819},
        {"ru_UA.UTF-8", 0x1000}, {"ru_KZ", 0x1000},       {"uk_UA.UTF-8", 0x0422},  {"uk", 0x0422},
        {"be_BY", 0x0423},       {"en_US.UTF-8", 0x0409}, {"en_GB", 0x0809},        {"de_AT", 0x0C07},
        {"", 0x0409},            {"C", 0x0409},           {"C.UTF-8", 0x0409},      {"POSIX", 0x0409},
        {"xx_YY", 0x0409},       {"rus", 0x0409},         {"RU_RU", 0x0409},        {"_RU", 0x0409},
    };
    for (const LocaleCase& c : cases) {
        EXPECT_EQ(platform::languageIdOfLocale(c.locale), c.languageId) << c.locale;
    }
}

TEST(LanguageIdOfLocale, OnlyRussiaRussianLocalesGiveRussianTexts) {
    const std::vector<std::pair<const char*, bool>> cases = {
        {"ru_RU.UTF-8", true}, {"ru", true},          {"ru_MD.UTF-8", false}, {"ru_UA.UTF-8", false},
        {"uk_UA.UTF-8", false}, {"en_US.UTF-8", false}, {"C", false},
    };
    for (const auto& [locale, russian] : cases) {
        WithLanguage language(platform::languageIdOfLocale(locale));
        EXPECT_EQ(uiText(3), russian ? L"Хотите ли вы завершить процесс загрузки?" : L"Do you want to stop download process?")
            << locale;
    }
}

}  // namespace
