// The download folder's rules: which descriptors keep a folder safe (judged
// on descriptors built in memory, since Wine keeps none on disk), which facts
// let a recorded folder be used, and the folder's life on a real file system
// and registry: made, found again, refused once replaced, its old files gone.
#include <windows.h>

#include <sddl.h>

#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "app/win32/download_folder.h"
#include "app/win32/folder_security.h"
#include "platform/system.h"

namespace {

using namespace platform;

bool descriptorAllows(PSECURITY_DESCRIPTOR descriptor) {
    PSID owner = nullptr;
    PACL dacl = nullptr;
    BOOL defaulted = FALSE, present = FALSE;
    if (!GetSecurityDescriptorOwner(descriptor, &owner, &defaulted)) return false;
    if (!GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted)) return false;
    return onlyAdministratorsMayChange(owner, present ? dacl : nullptr);
}

struct DescriptorCase {
    const char* name;
    const wchar_t* sddl;
    bool safe;
};

class FolderDescriptors : public ::testing::TestWithParam<DescriptorCase> {};

TEST_P(FolderDescriptors, OnlyAdministratorsMayChangeTheFolder) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(GetParam().sddl, SDDL_REVISION_1, &descriptor,
                                                                     nullptr));
    EXPECT_EQ(descriptorAllows(descriptor), GetParam().safe);
    LocalFree(descriptor);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FolderDescriptors,
    ::testing::Values(
        DescriptorCase{"OwnedByAdministrators", L"O:BAD:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)", true},
        DescriptorCase{"OwnedBySystem", L"O:SYD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)", true},
        DescriptorCase{"UsersMayRead", L"O:BAD:P(A;OICI;FA;;;BA)(A;OICI;FR;;;BU)", true},
        DescriptorCase{"DenyingIsHarmless", L"O:BAD:P(D;;FA;;;WD)(A;;FA;;;BA)", true},
        DescriptorCase{"OwnedByUsers", L"O:BUD:P(A;OICI;FA;;;BA)", false},
        DescriptorCase{"OwnedByAUser", L"O:S-1-5-21-1-2-3-1001D:P(A;OICI;FA;;;BA)", false},
        DescriptorCase{"UsersMayWrite", L"O:BAD:P(A;OICI;FA;;;BA)(A;;FW;;;BU)", false},
        DescriptorCase{"UsersMayAddFiles", L"O:BAD:P(A;OICI;FA;;;BA)(A;;0x2;;;BU)", false},
        DescriptorCase{"EveryoneMayDelete", L"O:BAD:P(A;OICI;FA;;;BA)(A;;SD;;;WD)", false},
        DescriptorCase{"AUserMayRewriteTheDacl", L"O:BAD:P(A;OICI;FA;;;BA)(A;;WD;;;S-1-5-21-1-2-3-1001)", false},
        DescriptorCase{"InheritOnlyCreatorOwner", L"O:BAD:P(A;OICI;FA;;;BA)(A;OICIIO;GA;;;CO)", false},
        DescriptorCase{"AuthenticatedUsersGeneric", L"O:BAD:P(A;OICI;FA;;;BA)(A;;GA;;;AU)", false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(FolderDescriptors, WithoutADaclAnybodyMayChangeIt) {
    SECURITY_DESCRIPTOR descriptor;
    ASSERT_TRUE(InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION));
    ASSERT_TRUE(SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE));
    BYTE administrators[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof administrators;
    ASSERT_TRUE(CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators, &size));
    ASSERT_TRUE(SetSecurityDescriptorOwner(&descriptor, administrators, FALSE));
    EXPECT_FALSE(descriptorAllows(&descriptor));
}

TEST(FolderDescriptors, TheProgramsOwnDescriptorPasses) {
    const OwnedSecurityDescriptor descriptor = downloadFolderDescriptor();
    ASSERT_TRUE(descriptor);
    EXPECT_TRUE(descriptorAllows(descriptor.get()));
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    ASSERT_TRUE(GetSecurityDescriptorControl(descriptor.get(), &control, &revision));
    // Nothing the parent folder grants reaches it.
    EXPECT_TRUE(control & SE_DACL_PROTECTED);
}

struct FactsCase {
    const char* name;
    bool recorded;
    FolderFacts facts;
    bool descriptorsKept;
    bool usable;
};

constexpr FolderIdentity kMade{0x1234, 77};
constexpr FolderFacts kSafe{true, false, kMade, true};

FolderFacts with(void (*change)(FolderFacts&)) {
    FolderFacts facts = kSafe;
    change(facts);
    return facts;
}

class FolderUse : public ::testing::TestWithParam<FactsCase> {};

TEST_P(FolderUse, OnlyTheRecordedSafeFolderIsUsed) {
    const FactsCase& c = GetParam();
    EXPECT_EQ(folderMayBeUsed(c.recorded ? std::optional(kMade) : std::nullopt, c.facts, c.descriptorsKept),
              c.usable);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FolderUse,
    ::testing::Values(
        FactsCase{"RecordedAndSafe", true, kSafe, true, true},
        FactsCase{"NoRecord", false, kSafe, true, false},
        FactsCase{"AnotherFolderAtTheName", true, with([](FolderFacts& f) { f.identity.index = 78; }), true, false},
        FactsCase{"AnotherVolume", true, with([](FolderFacts& f) { f.identity.volume = 1; }), true, false},
        FactsCase{"ReparsePoint", true, with([](FolderFacts& f) { f.reparsePoint = true; }), true, false},
        FactsCase{"AFile", true, with([](FolderFacts& f) { f.directory = false; }), true, false},
        FactsCase{"AnExtraWriter", true, with([](FolderFacts& f) { f.onlyAdministrators = false; }), true, false},
        // Wine keeps no descriptors: the record and the rest still decide.
        FactsCase{"NoDescriptorsKept", true, with([](FolderFacts& f) { f.onlyAdministrators = false; }), false,
                  true},
        FactsCase{"NoDescriptorsKeptStillNeedsTheRecord", false, kSafe, false, false},
        FactsCase{"NoDescriptorsKeptNoReparse", true, with([](FolderFacts& f) { f.reparsePoint = true; }), false,
                  false}),
    [](const auto& info) { return std::string(info.param.name); });

// A private key and parent folder per test, removed afterwards.
class DownloadFolderLife : public ::testing::Test {
protected:
    void SetUp() override {
        parent = platform::temporaryDirectory() + L"\\vorlane_folder_test";
        std::filesystem::remove_all(std::filesystem::path(parent));
        std::filesystem::create_directories(std::filesystem::path(parent));
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, kRoot);
    }
    void TearDown() override {
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, kRoot);
        std::error_code error;
        std::filesystem::remove_all(std::filesystem::path(parent), error);
    }
    static constexpr wchar_t kRoot[] = L"SOFTWARE\\VorlaneTest";
    std::wstring parent;
};

TEST_F(DownloadFolderLife, MadeOnceFoundAgainReplacedWhenChanged) {
    MachineRecord record(std::wstring(kRoot) + L"\\Downloads");
    std::wstring first;
    {
        DownloadFolder folder;
        first = folder.open(record, parent);
        ASSERT_EQ(first.rfind(parent + L"\\Vorlane-", 0), 0u);
        EXPECT_EQ(first.size(), parent.size() + 1 + 8 + 32);
        // Held without delete sharing: it cannot be renamed away meanwhile.
        EXPECT_FALSE(MoveFileW(first.c_str(), (parent + L"\\moved").c_str()));
    }
    {
        DownloadFolder folder;
        EXPECT_EQ(folder.open(record, parent), first);
    }
    // Another folder put at the recorded name (the program's one moved away
    // meanwhile) is not the one the program made.
    ASSERT_TRUE(MoveFileW(first.c_str(), (parent + L"\\moved").c_str()));
    ASSERT_TRUE(CreateDirectoryW(first.c_str(), nullptr));
    std::ofstream(std::filesystem::path(first + L"\\planted.exe")) << "planted";
    DownloadFolder folder;
    const std::wstring second = folder.open(record, parent);
    EXPECT_NE(second, first);
    EXPECT_TRUE(std::filesystem::exists(std::filesystem::path(first + L"\\planted.exe")))
        << "a refused folder is never touched";
}

TEST_F(DownloadFolderLife, AFolderDeletedWithItsParentIsMadeAgain) {
    MachineRecord record(std::wstring(kRoot) + L"\\Downloads");
    std::wstring first;
    {
        DownloadFolder folder;
        first = folder.open(record, parent);
    }
    std::filesystem::remove_all(std::filesystem::path(parent));
    std::wstring second;
    {
        DownloadFolder folder;
        second = folder.open(record, parent);
    }
    EXPECT_NE(second, first);
    EXPECT_EQ(second.rfind(parent + L"\\Vorlane-", 0), 0u);
    EXPECT_TRUE(std::filesystem::is_directory(std::filesystem::path(second)));
    // The record now names the new folder.
    DownloadFolder again;
    EXPECT_EQ(again.open(record, parent), second);
}

TEST_F(DownloadFolderLife, FilesPastTheRetentionGoAtTheNextStart) {
    MachineRecord record(std::wstring(kRoot) + L"\\Downloads");
    std::wstring path;
    {
        DownloadFolder folder;
        path = folder.open(record, parent);
    }
    const std::wstring old = path + L"\\old.exe", fresh = path + L"\\fresh.exe";
    std::ofstream(std::filesystem::path(old)) << "old";
    std::ofstream(std::filesystem::path(fresh)) << "fresh";
    HANDLE file = CreateFileW(old.c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    ULARGE_INTEGER time{{now.dwLowDateTime, now.dwHighDateTime}};
    time.QuadPart -= 8ULL * 24 * 3600 * 10'000'000ULL;
    const FILETIME eightDaysAgo{time.LowPart, time.HighPart};
    ASSERT_TRUE(SetFileTime(file, nullptr, nullptr, &eightDaysAgo));
    CloseHandle(file);

    DownloadFolder folder;
    ASSERT_EQ(folder.open(record, parent), path);
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::path(old)));
    EXPECT_TRUE(std::filesystem::exists(std::filesystem::path(fresh)));
}

}  // namespace
