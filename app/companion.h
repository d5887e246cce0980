// The companion product (catalog product 3, a program that opens content):
// whether it is installed, read from its uninstall key, and the rule that
// starts the installed copy with the stamped content instead of downloading.
#pragma once

#include <cstdint>
#include <string>

#include "app/os_services.h"

inline constexpr wchar_t kCompanionExeName[] = L"dravolin.exe";
inline constexpr wchar_t kCompanionUninstallKey[] = L"DravoLin";
inline constexpr wchar_t kUninstallKeyRoot[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\";
inline constexpr std::int32_t kCompanionProductIndex = 3;
// The content type whose address the companion takes after "-turl ".
inline constexpr wchar_t kTurlContentType[] = L"10";

// Reads one string value of an open key into `out` through a 1024-byte buffer,
// whatever the value's registry type; returns the platform's error code (0 on
// success, when `out` holds the text up to its first zero unit). On failure
// `out` holds `defaultValue`.
std::int32_t readRegistryString(platform::OsServices& os, platform::RegistryKey key, const std::wstring& valueName,
                                std::wstring& out, const std::wstring& defaultValue);

// The installation check, done by the constructor: the uninstall key under
// HKEY_LOCAL_MACHINE with "DisplayVersion" and "InstallLocation", and the
// executable inside that location, looked for in the 32-bit registry view
// first, then in the 64-bit one; the fields describe the view that counted
// (the last one tried when neither did). Keys are closed again before it returns.
struct CompanionProductInfo {
    explicit CompanionProductInfo(platform::OsServices& os);

    bool installed = false;
    std::wstring installLocation;
    std::wstring displayVersion;
    std::wstring exePath;

private:
    bool checkView(platform::OsServices& os, platform::RegistryView view);
};

// The rule: for product 3 with a content type and a content address, an
// installed companion is started with the address as its parameters ("-turl "
// in front for content type "10"; `contentAddress` itself is rewritten).
// Returns true when the companion was started and nothing is to be downloaded.
bool startInstalledCompanion(platform::OsServices& os, std::int32_t productIndex, const std::wstring& contentType,
                             std::wstring& contentAddress);
