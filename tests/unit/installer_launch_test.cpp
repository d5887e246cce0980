// The installer's command line: the seven pieces in their order and quoting,
// the forwarded payload keys, and values that must not break the line apart;
// the tries while a scanner holds the file, and the notices for a refused start.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <vector>

#include "app/installer_launch.h"
#include "app/ui_text.h"
#include "tests/support/fake_windows.h"
#include "tests/unit/scratch_dir.h"

namespace {

InstallerSettings settings(const wchar_t* partnerId, const wchar_t* vid, const wchar_t* contentType,
                           const wchar_t* contentAddress, const wchar_t* offerUrl, bool silentMode) {
    return InstallerSettings{partnerId, vid, contentType, contentAddress, offerUrl, silentMode};
}

struct ParametersCase {
    const char* name;
    InstallerSettings settings;
    PayloadMap remaining;
    const wchar_t* expected;
};

const ParametersCase kParameterCases[] = {
    {"nothing", settings(L"", L"", L"", L"", L"", false), {}, L""},
    {"vid and partner", settings(L"7", L"15", L"", L"", L"", false), {}, L" /partnerId=7 /vid=15"},
    {"silent alone", settings(L"", L"", L"", L"", L"", true), {}, L" /S"},
    {"all settings in order",
     settings(L"p", L"v", L"10", L"http://c.example/x y", L"http://o.example/", true),
     {},
     L" /partnerId=p /vid=v /contentType=10 /contentAddress=\"http://c.example/x y\" "
     L"/offerUrl=\"http://o.example/\" /S"},
    {"typical stamped block",
     settings(L"", L"15", L"", L"", L"http://offer.example/o?a=1&b=2", false),
     {{"installUrl", "http%3A%2F%2Fi.example%2Fin"}, {"uninstallUrl", "http%3A%2F%2Fi.example%2Fun"}, {"ap", "13"}},
     L" /vid=15 /offerUrl=\"http://offer.example/o?a=1&b=2\" /ap=\"13\" /installUrl=\"http://i.example/in\" "
     L"/uninstallUrl=\"http://i.example/un\""},
    {"forwarded S is its own switch", settings(L"", L"", L"", L"", L"", true), {{"S", "1"}}, L" /S /S=\"1\""},
    {"forwarded value decoded, key not", settings(L"", L"", L"", L"", L"", false), {{"a%20b", "a%20b"}}, L" /a%20b=\"a b\""},
    {"forwarded plus is a blank", settings(L"", L"", L"", L"", L"", false), {{"k", "x+y"}}, L" /k=\"x y\""},
    {"forwarded keys in byte order", settings(L"", L"", L"", L"", L"", false), {{"b", "2"}, {"B", "1"}, {"a", ""}}, L" /B=\"1\" /a=\"\" /b=\"2\""},
    {"forwarded raw UTF-8", settings(L"", L"", L"", L"", L"", false), {{"name", "\xd0\x9f\xd1\x80\xd0\xb8"}}, L" /name=\"При\""},
    {"upper-case VID is forwarded", settings(L"", L"1", L"", L"", L"", false), {{"VID", "7"}}, L" /vid=1 /VID=\"7\""},
};

TEST(InstallerParameters, PiecesInOrder) {
    for (const ParametersCase& c : kParameterCases) {
        EXPECT_EQ(installerParameters(c.settings, c.remaining), c.expected) << c.name;
    }
}

// Values that would split a switch (or swallow the next ones) are written so
// that the Windows command-line rules give back the exact value.
const ParametersCase kHostileCases[] = {
    {"quote in a quoted value",
     settings(L"", L"", L"", L"", LR"(a"b)", false),
     {},
     LR"( /offerUrl="a\"b")"},
    {"quote and backslashes before it",
     settings(L"", L"", L"t", LR"(x\"y)", L"", false),
     {},
     LR"( /contentType=t /contentAddress="x\\\"y")"},
    {"trailing backslash would escape the closing quote",
     settings(L"", L"", L"", L"", LR"(C:\dir\)", false),
     {},
     LR"( /offerUrl="C:\dir\\")"},
    {"backslashes elsewhere stay single", settings(L"", L"", L"", L"", LR"(\\srv\share\a b)", false), {}, LR"( /offerUrl="\\srv\share\a b")"},
    {"blank in an unquoted value", settings(L"a b", L"", L"", L"", L"", false), {}, LR"( /partnerId="a b")"},
    {"quote in an unquoted value", settings(L"", LR"(1" /S)", L"", L"", L"", false), {}, LR"( /vid="1\" /S")"},
    {"tab in an unquoted value", settings(L"", L"1\t2", L"", L"", L"", false), {}, L" /vid=\"1\t2\""},
    {"quote in a forwarded value", settings(L"", L"", L"", L"", L"", false), {{"k", "%22quoted%22"}}, LR"( /k="\"quoted\"")"},
    {"blank in a forwarded key", settings(L"", L"", L"", L"", L"", false), {{"a b", "1"}}, LR"( /"a b"="1")"},
    {"backslash without quotes unchanged", settings(L"", LR"(a\b)", L"", L"", L"", false), {}, LR"( /vid=a\b)"},
    {"NUL units dropped, nothing cut off",
     InstallerSettings{L"", std::wstring(L"1\0" L"5", 3), L"", L"", L"", true},
     {{"k", "a%00b"}, {"z", "1"}},
     L" /vid=15 /S /k=\"ab\" /z=\"1\""},
    {"control characters dropped from forwarded keys and values",
     settings(L"", L"", L"", L"", L"", false),
     {{"\t\x7F", "1"}, {"a\r\nb", "x%0D%0A%09/S%C2%85"}, {"c\xC2\x9F", "\x01"}},
     L" /ab=\"x/S\u00C2\" /c=\"\""},
};

TEST(InstallerParameters, ValuesCannotSplitASwitch) {
    for (const ParametersCase& c : kHostileCases) {
        EXPECT_EQ(installerParameters(c.settings, c.remaining), c.expected) << c.name;
    }
}

TEST(InstallerLaunch, OpensTheFileWithTheParametersAndReportsTheOutcome) {
    const std::wstring file = L"C:\\Temp\\pel_mora_.exe";
    // The quoted path, a blank, the parameters and the terminator: 32767 units at most.
    const std::wstring longest(kMaxCommandLine - file.size() - 4, L'x');
    struct Case {
        const char* name;
        std::wstring parameters;
        std::int32_t systemResult;
        std::int32_t result;
        bool tried;
    };
    const Case cases[] = {
        {"started", L" /vid=15", 0, 0, true},
        {"no parameters", L"", 0, 0, true},
        {"longest command line", longest, 0, 0, true},
        {"one unit too long", longest + L"x", 0, platform::kErrorFilenameExcedRange, false},
        {"file missing", L"", platform::kErrorFileNotFound, platform::kErrorFileNotFound, true},
        {"access denied", L"", platform::kErrorAccessDenied, platform::kErrorAccessDenied, true},
    };
    for (const Case& c : cases) {
        platform::FakeWindows os;
        os.setLaunchResult(c.systemResult);
        EXPECT_EQ(launchInstaller(os, file, c.parameters), c.result) << c.name;
        const auto launches = os.launches();
        ASSERT_EQ(launches.size(), c.tried ? 1u : 0u) << c.name;
        if (c.tried) {
            EXPECT_EQ(launches[0].file, file) << c.name;
            EXPECT_EQ(launches[0].parameters, c.parameters) << c.name;
            // Started in its own folder, so no DLL of another folder is found first.
            EXPECT_EQ(launches[0].directory, L"C:\\Temp") << c.name;
        }
    }
}

TEST(InstallerLaunch, ScannerCodesAreTriedAgainUntilTheBound) {
    using namespace std::chrono_literals;
    constexpr LaunchRetry kGenerous{60s, 1ms};
    struct Case {
        const char* name;
        std::vector<std::int32_t> results;  // the last one repeats
        LaunchRetry retry;
        std::int32_t result;
        std::size_t tries;  // 0: at least one, as many as the bound allows
    };
    const Case cases[] = {
        {"sharing violation, then started", {32, 32, 0}, kGenerous, 0, 3},
        {"access denied, lock violation, then started", {5, 33, 0}, kGenerous, 0, 3},
        {"held past the bound", {32}, {0ms, 1ms}, 32, 1},
        {"held all along", {5}, {30ms, 1ms}, 5, 0},
        {"file missing: not tried again", {2, 0}, kGenerous, 2, 1},
        {"threat found: not tried again", {225, 0}, kGenerous, 225, 1},
        {"file deleted for a threat: not tried again", {32, 226, 0}, kGenerous, 226, 2},
    };
    const std::atomic<bool> notCancelled{false};
    for (const Case& c : cases) {
        platform::FakeWindows os;
        os.setLaunchResults(c.results);
        EXPECT_EQ(launchInstallerRetrying(os, L"C:\\T\\i.exe", L" /S", c.retry, notCancelled), c.result) << c.name;
        const std::size_t tries = os.launches().size();
        if (c.tries != 0) {
            EXPECT_EQ(tries, c.tries) << c.name;
        }
        EXPECT_GE(tries, 1u) << c.name;
    }
    const std::atomic<bool> cancelled{true};
    platform::FakeWindows os;
    EXPECT_EQ(launchInstallerRetrying(os, L"C:\\T\\i.exe", L"", kGenerous, cancelled), kLaunchCancelled);
    EXPECT_TRUE(os.launches().empty());
}

TEST(InstallerLaunch, FailureNoticeCarriesTheSystemCodeInTheInterfaceLanguage) {
    struct Case {
        std::uint16_t language;
        std::int32_t code;
        const wchar_t* expected;
    };
    const Case cases[] = {
        {0x0409, platform::kErrorFilenameExcedRange, L"Internal Error (system code: 206). "},
        {0x0419, platform::kErrorFilenameExcedRange, L"Внутренняя ошибка (system code: 206). "},
        {0x0409, platform::kErrorVirusInfected,
         L"Your antivirus program reported a threat in the downloaded installer and blocked it."},
        {0x0419, platform::kErrorVirusInfected,
         L"Антивирусная программа обнаружила угрозу в загруженном установщике и заблокировала его."},
        {0x0409, platform::kErrorVirusDeleted,
         L"Your antivirus program deleted the downloaded installer because it reported a threat."},
        {0x0419, platform::kErrorVirusDeleted,
         L"Антивирусная программа удалила загруженный установщик, так как обнаружила в нём угрозу."},
    };
    for (const Case& c : cases) {
        languageRecord().languageId = c.language;
        EXPECT_EQ(launchErrorMessage(c.code), c.expected) << c.code;
    }
    releaseLanguageRecord();
}

TEST(InstallerLaunch, OnlyThePublishersSignatureLetsTheHeldInstallerStart) {
    constexpr auto kNoSignature = static_cast<std::int32_t>(0x800B0100);  // TRUST_E_NOSIGNATURE
    struct Case {
        const char* name;
        const wchar_t* publisher;
        std::int32_t verdict;
        const wchar_t* signer;
        std::int32_t result;
        bool checked;
    };
    const Case cases[] = {
        {"no publisher: nothing checked", L"", kNoSignature, L"", 0, false},
        {"signed by the publisher", L"Vorlane Тест", 0, L"Vorlane Тест", 0, true},
        {"unsigned", L"Vorlane", kNoSignature, L"", kNoSignature, true},
        {"another publisher", L"Vorlane", 0, L"Vorlane Ltd", kTrustWrongPublisher, true},
        {"names differ in case only", L"Vorlane", 0, L"vorlane", kTrustWrongPublisher, true},
    };
    const unittest::ScratchDir scratch;
    platform::File held;
    ASSERT_TRUE(held.openForWriting(scratch.file("held.exe")) && held.holdReadOnly());
    for (const Case& c : cases) {
        platform::FakeWindows os;
        os.setSignature(c.verdict, c.signer);
        EXPECT_EQ(verifyInstallerPublisher(os, held, L"C:\\Temp\\pel_mora_.exe", c.publisher), c.result) << c.name;
        const auto checks = os.signatureChecks();
        ASSERT_EQ(checks.size(), c.checked ? 1u : 0u) << c.name;
        if (c.checked) {
            EXPECT_EQ(checks[0].first, held.nativeHandle()) << c.name;
            EXPECT_EQ(checks[0].second, L"C:\\Temp\\pel_mora_.exe") << c.name;
        }
    }
    languageRecord().languageId = 0x0409;
    EXPECT_EQ(untrustedInstallerMessage(kNoSignature), L"Internal Error (system code: 0x800B0100). ");
    releaseLanguageRecord();
}

}  // namespace
