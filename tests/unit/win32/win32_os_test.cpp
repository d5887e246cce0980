// The Win32 OS services the front end uses: registry reads with their error
// codes in both registry views, file existence, the
// outcome of a program start, the COM start rule, the bound on asking
// WinHTTP for a script's proxy, and the running-copy objects as far as Wine
// shows them: without a private namespace (Wine's is a stub) the claim's
// names carry the user's SID, a name somebody made first is no claim, only a
// window of this very program file is raised, and the namespace would admit
// Administrators and SYSTEM alone.
#include <winsock2.h>
#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <sddl.h>

#include <gtest/gtest.h>

#include "platform/system.h"
#include "app/win32/running_copy.h"
#include "app/win32/win32_os.h"

namespace {

using platform::RegistryKey;
using platform::RegistryView;
using platform::Win32Os;

// A key every Windows (and Wine) has, with a string value.
constexpr wchar_t kVersionKey[] = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";

TEST(Win32OsRegistry, MissingKeyIsFileNotFoundAndLeavesNoKey) {
    Win32Os os;
    RegistryKey key = reinterpret_cast<RegistryKey>(0x1);
    EXPECT_EQ(os.openRegistryKey(L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\NoSuchVorlaneKey",
                                 RegistryView::Wow64_64, key),
              platform::kErrorFileNotFound);
    EXPECT_EQ(key, nullptr);
}

struct ValueCase {
    const char* name;
    const wchar_t* valueName;
    std::uint32_t bufferSize;
    std::int32_t expected;
};

class Win32OsRegistryValues : public ::testing::TestWithParam<ValueCase> {};

TEST_P(Win32OsRegistryValues, QueryAnswersWithThePlatformCode) {
    Win32Os os;
    RegistryKey key = nullptr;
    ASSERT_EQ(os.openRegistryKey(kVersionKey, RegistryView::Wow64_64, key), platform::kErrorSuccess);
    std::vector<std::uint8_t> buffer(1024, 0xAB);
    std::uint32_t size = GetParam().bufferSize;
    EXPECT_EQ(os.queryRegistryValue(key, GetParam().valueName, buffer.data(), size), GetParam().expected);
    if (GetParam().expected == platform::kErrorSuccess) {
        // A string value with its terminating zero, in UTF-16.
        ASSERT_GE(size, 4u);
        EXPECT_EQ(size % 2, 0u);
        EXPECT_EQ(buffer[size - 1], 0);
        EXPECT_EQ(buffer[size - 2], 0);
        EXPECT_EQ(buffer[size], 0xAB);
    }
    os.closeRegistryKey(key);
}

INSTANTIATE_TEST_SUITE_P(
    Values, Win32OsRegistryValues,
    ::testing::Values(ValueCase{"Present", L"ProductName", 1024, platform::kErrorSuccess},
                      ValueCase{"BufferTooSmall", L"ProductName", 2, platform::kErrorMoreData},
                      ValueCase{"Missing", L"NoSuchVorlaneValue", 1024, platform::kErrorFileNotFound}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Win32OsRegistry, AKeyOfThe32BitViewIsOpenedThereOnly) {
    // What a 32-bit setup writes: the key in the 32-bit view alone.
    constexpr wchar_t kPath[] = L"SOFTWARE\\VorlaneViewTest";
    HKEY created = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kPath, 0, nullptr, 0, KEY_WRITE | KEY_WOW64_32KEY, nullptr, &created,
                              nullptr),
              ERROR_SUCCESS);
    RegCloseKey(created);
    Win32Os os;
    RegistryKey key = nullptr;
    EXPECT_EQ(os.openRegistryKey(kPath, RegistryView::Wow64_32, key), platform::kErrorSuccess);
    if (key) os.closeRegistryKey(key);
    EXPECT_EQ(os.openRegistryKey(kPath, RegistryView::Wow64_64, key), platform::kErrorFileNotFound);
    RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kPath, KEY_WOW64_32KEY, 0);
}

TEST(Win32OsStart, AProgramThatCannotBeStartedGivesItsSystemCode) {
    Win32Os os;
    const std::wstring directory = platform::temporaryDirectory();
    const std::wstring notAProgram = directory + L"\\vorlane_not_a_program.exe";
    std::ofstream(std::filesystem::path(notAProgram), std::ios::binary) << "no program at all";
    EXPECT_EQ(os.shellOpen(directory + L"\\vorlane_no_such_program.exe", L"", directory), platform::kErrorFileNotFound);
    EXPECT_NE(os.shellOpen(notAProgram, L" /x", L""), platform::kErrorSuccess);
    std::filesystem::remove(std::filesystem::path(notAProgram));
}

TEST(Win32OsFiles, FileExistsFollowsTheFileSystem) {
    Win32Os os;
    const std::wstring directory = platform::temporaryDirectory();
    ASSERT_FALSE(directory.empty());
    EXPECT_NE(directory.back(), L'\\');
    EXPECT_TRUE(std::filesystem::is_directory(std::filesystem::path(directory)));

    const std::wstring path = directory + L"\\vorlane_exists_\u0416.tmp";
    std::filesystem::remove(std::filesystem::path(path));
    EXPECT_FALSE(os.fileExists(path));
    std::ofstream(std::filesystem::path(path)) << "x";
    EXPECT_TRUE(os.fileExists(path));
    std::filesystem::remove(std::filesystem::path(path));
    EXPECT_FALSE(os.fileExists(path));
    EXPECT_TRUE(os.fileExists(os.ownExecutablePath()));
}

TEST(Win32OsCom, OnlyTheFirstInitialisationOfAThreadCounts) {
    // S_FALSE (already initialised on this thread) must read as a failure.
    bool first = false;
    bool second = false;
    std::thread fresh([&] {
        Win32Os a;
        Win32Os b;
        first = a.initializeCom();
        second = b.initializeCom();
    });
    fresh.join();
    EXPECT_TRUE(first);
    EXPECT_FALSE(second);
}

// A loopback port whose connections wait in the backlog: nothing ever answers.
class SilentPort {
public:
    SilentPort() {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
        m_socket = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int length = sizeof(address);
        bind(m_socket, reinterpret_cast<sockaddr*>(&address), length);
        listen(m_socket, 16);
        getsockname(m_socket, reinterpret_cast<sockaddr*>(&address), &length);
        m_port = ntohs(address.sin_port);
    }
    ~SilentPort() {
        closesocket(m_socket);
        WSACleanup();
    }
    std::wstring scriptUrl() const { return L"http://127.0.0.1:" + std::to_wstring(m_port) + L"/proxy.pac"; }

private:
    SOCKET m_socket = INVALID_SOCKET;
    unsigned m_port = 0;
};

TEST(Win32OsAutoProxy, AScriptThatNeverComesIsLeftAtTheBoundOrWhenAborted) {
    using namespace std::chrono_literals;
    SilentPort silent;
    Win32Os os;
    for (const bool aborted : {false, true}) {
        const std::atomic<bool> abort{aborted};
        const auto started = std::chrono::steady_clock::now();
        const platform::AutoProxyAnswer answer = os.proxyForUrl(
            L"http://downloads.pelmora.example/f.exe", platform::AutoProxySource::ConfigUrl, silent.scriptUrl(), 1500ms,
            &abort);
        const auto elapsed = std::chrono::steady_clock::now() - started;
        EXPECT_FALSE(answer.answered) << aborted;
        EXPECT_EQ(answer.error, platform::kErrorWinHttpTimeout) << aborted;
        EXPECT_LT(elapsed, aborted ? 500ms : 4s) << aborted;
        if (!aborted) {
            EXPECT_GE(elapsed, 1400ms);
        }
    }
}

// --- the running copy ---

// The token user read here on its own, to hold the program's reading against.
std::wstring tokenUserSid() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return {};
    alignas(TOKEN_USER) BYTE buffer[256];
    DWORD size = 0;
    LPWSTR text = nullptr;
    std::wstring sid;
    if (GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &size) &&
        ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, &text)) {
        sid = text;
        LocalFree(text);
    }
    CloseHandle(token);
    return sid;
}

bool namespacesExist() {
    HANDLE boundary = CreateBoundaryDescriptorW(L"VorlaneTestProbe", 0);
    if (boundary) DeleteBoundaryDescriptor(boundary);
    return boundary != nullptr;
}

void publish(HANDLE mapping, HWND window) {
    void* view = MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, sizeof(LONG64));
    ASSERT_NE(view, nullptr);
    *static_cast<LONG64 volatile*>(view) = static_cast<LONG64>(reinterpret_cast<std::intptr_t>(window));
    UnmapViewOfFile(view);
}

TEST(Win32OsRunningCopy, WithoutANamespaceAClaimIsMadeUnderTheUsersSid) {
    if (namespacesExist()) GTEST_SKIP() << "this system has private namespaces: the claim is made in one";
    const std::wstring name = L"Vorlane-claim-" + std::to_wstring(GetCurrentProcessId());
    const std::wstring sid = tokenUserSid();
    ASSERT_EQ(sid.rfind(L"S-1-5-", 0), 0u) << sid;
    ASSERT_EQ(platform::currentUserSid(), sid);

    platform::RunningCopy first;
    ASSERT_TRUE(first.claim(name));
    HANDLE made = OpenMutexW(SYNCHRONIZE, FALSE, (L"Local\\" + name + L"-" + sid).c_str());
    EXPECT_NE(made, nullptr);
    if (made) CloseHandle(made);
    EXPECT_EQ(OpenMutexW(SYNCHRONIZE, FALSE, (L"Local\\" + name).c_str()), nullptr);
    platform::RunningCopy second;
    EXPECT_FALSE(second.claim(name));
}

TEST(Win32OsRunningCopy, OnlyAWindowOfThisProgramFileIsRaised) {
    if (namespacesExist()) GTEST_SKIP() << "this system has private namespaces: the claim is made in one";
    const std::wstring name = L"Vorlane-raise-" + std::to_wstring(GetCurrentProcessId());
    // A squatter's objects, made first: the mapping holds a window of
    // another program (the desktop's, Wine's explorer.exe).
    const platform::RunningCopyObjects objects = platform::sessionObjects(name, tokenUserSid());
    HANDLE mutex = CreateMutexW(nullptr, FALSE, objects.mutex.c_str());
    HANDLE mapping =
        CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, sizeof(LONG64), objects.window.c_str());
    ASSERT_NE(mutex, nullptr);
    ASSERT_NE(mapping, nullptr);
    publish(mapping, GetDesktopWindow());

    platform::RunningCopy copy;
    EXPECT_FALSE(copy.claim(name));
    EXPECT_FALSE(platform::isOwnProgramWindow(GetDesktopWindow()));
    EXPECT_FALSE(copy.activate(name, 0));

    // A minimised window of this program's own file is restored.
    HWND own = CreateWindowExW(0, L"STATIC", L"own", WS_OVERLAPPEDWINDOW, 0, 0, 100, 100, nullptr, nullptr,
                               GetModuleHandleW(nullptr), nullptr);
    ASSERT_NE(own, nullptr);
    ShowWindow(own, SW_SHOWMINNOACTIVE);
    publish(mapping, own);
    EXPECT_TRUE(copy.activate(name, 0));
    EXPECT_FALSE(IsIconic(own));
    DestroyWindow(own);
    CloseHandle(mapping);
    CloseHandle(mutex);
}

TEST(Win32OsRunningCopy, ImagePathsCompareAsWindowsComparesFileNames) {
    const struct {
        const wchar_t* a;
        const wchar_t* b;
        bool same;
    } cases[] = {
        {L"C:\\Users\\Ann\\Downloads\\installer.exe", L"c:\\users\\ann\\DOWNLOADS\\Installer.EXE", true},
        {L"C:\\Users\\Ärger\\installer.exe", L"C:\\Users\\ärger\\installer.exe", true},
        {L"C:\\Users\\Ann\\Downloads\\installer.exe", L"C:\\Users\\Ann\\Downloads\\installer (1).exe", false},
        {L"C:\\Users\\Ann\\Downloads\\installer.exe", L"C:\\Users\\Ann\\Downloads\\installer.exe ", false},
    };
    for (const auto& c : cases) EXPECT_EQ(platform::sameImagePath(c.a, c.b), c.same) << c.a << L" / " << c.b;
}

TEST(Win32OsRunningCopy, TheNamespaceAdmitsAdministratorsAndSystemOnly) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(platform::kRunningCopyNamespaceSddl,
                                                                     SDDL_REVISION_1, &descriptor, nullptr));
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    ASSERT_TRUE(GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted));
    ASSERT_TRUE(present && dacl);
    ASSERT_EQ(dacl->AceCount, 2);
    const WELL_KNOWN_SID_TYPE expected[] = {WinBuiltinAdministratorsSid, WinLocalSystemSid};
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        void* ace = nullptr;
        ASSERT_TRUE(GetAce(dacl, i, &ace));
        auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
        EXPECT_EQ(allowed->Header.AceType, ACCESS_ALLOWED_ACE_TYPE);
        EXPECT_TRUE(IsWellKnownSid(&allowed->SidStart, expected[i])) << i;
    }
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    ASSERT_TRUE(GetSecurityDescriptorControl(descriptor, &control, &revision));
    EXPECT_TRUE(control & SE_DACL_PROTECTED);  // nothing inherited adds to it
    LocalFree(descriptor);
}

}  // namespace
