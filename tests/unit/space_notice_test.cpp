// The not-enough-space notice: sizes as Explorer writes them (units of 1024,
// one decimal, rounded up) in both languages, and the drive it names.
#include <gtest/gtest.h>

#include "app/space_notice.h"
#include "app/ui_text.h"

namespace {

TEST(SpaceText, UnitsOf1024WithOneDecimalRoundedUp) {
    constexpr std::int64_t kK = 1024, kM = kK * kK, kG = kM * kK;
    struct Case {
        std::int64_t bytes;
        const wchar_t* english;
        const wchar_t* russian;
    };
    const Case cases[] = {
        {0, L"0.0 KB", L"0,0 КБ"},
        {1, L"0.1 KB", L"0,1 КБ"},
        {kK, L"1.0 KB", L"1,0 КБ"},
        {kK + 1, L"1.1 KB", L"1,1 КБ"},
        {1023 * kK, L"1023.0 KB", L"1023,0 КБ"},
        // Rounded up it would read 1024.0 KB: the next unit instead.
        {kM - 1, L"1.0 MB", L"1,0 МБ"},
        {kM, L"1.0 MB", L"1,0 МБ"},
        {18000000 + 180, L"17.2 MB", L"17,2 МБ"},
        {kG - 1, L"1.0 GB", L"1,0 ГБ"},
        {kG + kG / 2, L"1.5 GB", L"1,5 ГБ"},
        {2 * kK * kG, L"2048.0 GB", L"2048,0 ГБ"},
        {-5, L"0.0 KB", L"0,0 КБ"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bytes);
        EXPECT_EQ(spaceText(c.bytes, false), c.english);
        EXPECT_EQ(spaceText(c.bytes, true), c.russian);
    }
}

TEST(SpaceText, TheDriveOfAPath) {
    EXPECT_EQ(driveOf(L"C:\\Windows\\Temp\\x\\setup.exe"), L"C:");
    EXPECT_EQ(driveOf(L"\\\\?\\d:\\x\\setup.exe"), L"d:");
    EXPECT_EQ(driveOf(L"\\\\server\\share\\x\\setup.exe"), L"\\\\server\\share");
    EXPECT_EQ(driveOf(L"\\\\?\\UNC\\server\\share\\setup.exe"), L"\\\\server\\share");
    EXPECT_EQ(driveOf(L"relative\\setup.exe"), L"relative\\setup.exe");
}

TEST(SpaceText, TheNoticeInBothLanguages) {
    languageRecord().languageId = kRussianLanguageId;
    EXPECT_EQ(notEnoughSpaceNotice(1536, L"C:\\Temp\\a.exe"),
              L"Недостаточно места на диске. Освободите не менее 1,5 КБ на диске C: и запустите установку снова.");
    languageRecord().languageId = 0x0409;
    EXPECT_EQ(notEnoughSpaceNotice(1536, L"C:\\Temp\\a.exe"),
              L"There is not enough space on the disk. Free at least 1.5 KB on drive C: and start the installation "
              L"again.");
    releaseLanguageRecord();
}

}  // namespace
