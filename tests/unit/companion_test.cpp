// The companion product: reading string values from the registry, the
// installation check (every step that can fail, and the key always closed
// again), and the rule that starts an installed copy instead of downloading.
#include <gtest/gtest.h>

#include <functional>

#include "app/companion.h"
#include "tests/support/fake_windows.h"

namespace {

using platform::FakeWindows;
using platform::RegistryView;

const std::wstring kKey = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\DravoLin";
const std::wstring kLocation = L"C:\\Program Files\\Dravo Lin";
const std::wstring kExe = L"C:\\Program Files\\Dravo Lin\\dravolin.exe";

// --- readRegistryString ---

std::vector<std::uint8_t> utf16Bytes(const std::u16string& units) {
    std::vector<std::uint8_t> bytes;
    for (const char16_t unit : units) {
        bytes.push_back(static_cast<std::uint8_t>(unit & 0xFF));
        bytes.push_back(static_cast<std::uint8_t>(unit >> 8));
    }
    return bytes;
}

struct ReadCase {
    const char* name;
    std::vector<std::uint8_t> bytes;
    std::int32_t result;
    std::wstring text;
};

const ReadCase kReadCases[] = {
    {"terminated string", utf16Bytes(u"1.2.3" + std::u16string(1, u'\0')), 0, L"1.2.3"},
    {"no terminator: never past the returned bytes", utf16Bytes(u"abc"), 0, L"abc"},
    {"text ends at the first zero unit", utf16Bytes(std::u16string(u"ab\0cd", 5)), 0, L"ab"},
    {"odd byte count drops the half unit", {'a', 0, 'b'}, 0, L"a"},
    {"empty value", {}, 0, L""},
    {"non-ASCII text", utf16Bytes(u"Дравo"), 0, L"Дравo"},
    {"a DWORD is read as text all the same", {0x31, 0x00, 0x00, 0x00}, 0, L"1"},
    {"exactly 1024 bytes fit", utf16Bytes(std::u16string(512, u'x')), 0, std::wstring(512, L'x')},
    {"more than 1024 bytes does not", utf16Bytes(std::u16string(513, u'x')), platform::kErrorMoreData, L"default"},
};

TEST(RegistryString, ReadsUtf16UpToTheFirstZero) {
    for (const ReadCase& c : kReadCases) {
        FakeWindows os;
        os.setRegistryBytes(kKey, L"Value", c.bytes);
        platform::RegistryKey key = nullptr;
        ASSERT_EQ(os.openRegistryKey(kKey, RegistryView::Wow64_64, key), 0);
        std::wstring out = L"previous";
        EXPECT_EQ(readRegistryString(os, key, L"Value", out, L"default"), c.result) << c.name;
        EXPECT_EQ(out, c.text) << c.name;
        os.closeRegistryKey(key);
    }
}

TEST(RegistryString, MissingValueKeepsTheDefaultAndReturnsTheError) {
    FakeWindows os;
    os.addRegistryKey(kKey);
    platform::RegistryKey key = nullptr;
    ASSERT_EQ(os.openRegistryKey(kKey, RegistryView::Wow64_64, key), 0);
    std::wstring out = L"previous";
    EXPECT_EQ(readRegistryString(os, key, L"Missing", out, L"fallback"), platform::kErrorFileNotFound);
    EXPECT_EQ(out, L"fallback");
    os.closeRegistryKey(key);
}

// --- the installation check ---

struct CheckCase {
    const char* name;
    std::function<void(FakeWindows&)> setUp;
    bool installed;
    std::wstring displayVersion;
    std::wstring installLocation;
    std::wstring exePath;
};

void installIn(FakeWindows& os, RegistryView view) {
    os.setRegistryString(kKey, L"DisplayVersion", L"2.1", view);
    os.setRegistryString(kKey, L"InstallLocation", kLocation, view);
    os.addFile(kExe);
}

void fullInstall(FakeWindows& os) { installIn(os, RegistryView::Wow64_64); }

const CheckCase kCheckCases[] = {
    {"installed", fullInstall, true, L"2.1", kLocation, kExe},
    {"no uninstall key", [](FakeWindows&) {}, false, L"", L"", L""},
    {"key not readable",
     [](FakeWindows& os) {
         fullInstall(os);
         os.denyRegistryKey(kKey);
     },
     false, L"", L"", L""},
    {"no DisplayVersion",
     [](FakeWindows& os) {
         os.setRegistryString(kKey, L"InstallLocation", kLocation);
         os.addFile(kExe);
     },
     false, L"", L"", L""},
    {"no InstallLocation",
     [](FakeWindows& os) {
         os.setRegistryString(kKey, L"DisplayVersion", L"2.1");
         os.addFile(kExe);
     },
     false, L"2.1", L"", L""},
    {"executable missing",
     [](FakeWindows& os) {
         os.setRegistryString(kKey, L"DisplayVersion", L"2.1");
         os.setRegistryString(kKey, L"InstallLocation", kLocation);
     },
     false, L"2.1", kLocation, kExe},
    {"location with a trailing backslash gets another one",
     [](FakeWindows& os) {
         os.setRegistryString(kKey, L"DisplayVersion", L"2.1");
         os.setRegistryString(kKey, L"InstallLocation", L"D:\\DL\\");
         os.addFile(L"D:\\DL\\\\dravolin.exe");
     },
     true, L"2.1", L"D:\\DL\\", L"D:\\DL\\\\dravolin.exe"},
    {"32-bit companion, in the 32-bit view only",
     [](FakeWindows& os) { installIn(os, RegistryView::Wow64_32); },
     true, L"2.1", kLocation, kExe},
    {"the 32-bit view is read first",
     [](FakeWindows& os) {
         fullInstall(os);
         os.setRegistryString(kKey, L"DisplayVersion", L"1.0", RegistryView::Wow64_32);
         os.setRegistryString(kKey, L"InstallLocation", L"D:\\Old", RegistryView::Wow64_32);
         os.addFile(L"D:\\Old\\dravolin.exe");
     },
     true, L"1.0", L"D:\\Old", L"D:\\Old\\dravolin.exe"},
    {"a stale 32-bit key does not hide the 64-bit installation",
     [](FakeWindows& os) {
         fullInstall(os);
         os.setRegistryString(kKey, L"DisplayVersion", L"1.0", RegistryView::Wow64_32);
     },
     true, L"2.1", kLocation, kExe},
    {"location longer than the buffer",
     [](FakeWindows& os) {
         os.setRegistryString(kKey, L"DisplayVersion", L"2.1");
         os.setRegistryString(kKey, L"InstallLocation", std::wstring(600, L'L'));
     },
     false, L"2.1", L"", L""},
};

TEST(CompanionCheck, EveryStepMustSucceed) {
    for (const CheckCase& c : kCheckCases) {
        FakeWindows os;
        c.setUp(os);
        const CompanionProductInfo info(os);
        EXPECT_EQ(info.installed, c.installed) << c.name;
        EXPECT_EQ(info.displayVersion, c.displayVersion) << c.name;
        EXPECT_EQ(info.installLocation, c.installLocation) << c.name;
        EXPECT_EQ(info.exePath, c.exePath) << c.name;
        // The key is given back on every way out.
        EXPECT_EQ(os.openRegistryKeys(), 0) << c.name;
        // The 32-bit view first; the 64-bit one only when that found nothing.
        const std::vector<std::pair<RegistryView, std::wstring>> both{{RegistryView::Wow64_32, kKey},
                                                                      {RegistryView::Wow64_64, kKey}};
        const auto opened = os.registryKeysOpened();
        ASSERT_FALSE(opened.empty()) << c.name;
        EXPECT_EQ(opened, std::vector(both.begin(), both.begin() + static_cast<std::ptrdiff_t>(opened.size())))
            << c.name;
    }
}

// --- the rule ---

struct RuleCase {
    const char* name;
    std::int32_t productIndex;
    std::wstring contentType;
    std::wstring contentAddress;
    bool installed;
    bool started;
    std::wstring parameters;  // also the rewritten address
    bool registryRead;
};

const RuleCase kRuleCases[] = {
    {"installed companion", 3, L"5", L"magnet:?xt=1", true, true, L"magnet:?xt=1", true},
    {"content type 10", 3, L"10", L"http://t.example/a", true, true, L"-turl http://t.example/a", true},
    {"content type 010 is not 10", 3, L"010", L"u", true, true, L"u", true},
    {"not installed", 3, L"10", L"u", false, false, L"u", true},
    {"no content address", 3, L"10", L"", true, false, L"", false},
    {"no content type", 3, L"", L"u", true, false, L"u", false},
    {"another product", 1, L"10", L"u", true, false, L"u", false},
    {"no product", 0, L"10", L"u", true, false, L"u", false},
};

TEST(CompanionRule, StartsAnInstalledCopyInsteadOfDownloading) {
    for (const RuleCase& c : kRuleCases) {
        FakeWindows os;
        if (c.installed) fullInstall(os);
        std::wstring address = c.contentAddress;
        EXPECT_EQ(startInstalledCompanion(os, c.productIndex, c.contentType, address), c.started) << c.name;
        EXPECT_EQ(address, c.parameters) << c.name;
        EXPECT_EQ(!os.registryKeysOpened().empty(), c.registryRead) << c.name;
        const auto launches = os.launches();
        ASSERT_EQ(launches.size(), c.started ? 1u : 0u) << c.name;
        if (c.started) {
            EXPECT_EQ(launches[0].file, kExe) << c.name;
            EXPECT_EQ(launches[0].parameters, c.parameters) << c.name;
        }
    }
}

}  // namespace
