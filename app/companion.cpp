#include "app/companion.h"

#include <array>
#include <cstdint>

#include "platform/text.h"

std::int32_t readRegistryString(platform::OsServices& os, platform::RegistryKey key, const std::wstring& valueName,
                                std::wstring& out, const std::wstring& defaultValue) {
    out = defaultValue;
    std::array<unsigned char, 1024> buffer{};
    std::uint32_t size = buffer.size();
    const std::int32_t result = os.queryRegistryValue(key, valueName, buffer.data(), size);
    if (result != platform::kErrorSuccess) return result;

    // The bytes are UTF-16 units, little-endian; never read past what the call returned.
    const std::size_t units = std::min<std::size_t>(size, buffer.size()) / 2;
    std::u16string text;
    for (std::size_t i = 0; i < units; ++i) {
        const char16_t unit = static_cast<char16_t>(buffer[2 * i] | (buffer[2 * i + 1] << 8));
        if (unit == 0) break;
        text.push_back(unit);
    }
    out = platform::fromUtf16(text);
    return platform::kErrorSuccess;
}

namespace {

// Closes the key on every way out of the check.
class OpenKey {
public:
    OpenKey(platform::OsServices& os, const std::wstring& path, platform::RegistryView view) : m_os(os) {
        m_result = os.openRegistryKey(path, view, m_key);
    }
    ~OpenKey() {
        if (m_result == platform::kErrorSuccess) m_os.closeRegistryKey(m_key);
    }
    OpenKey(const OpenKey&) = delete;
    OpenKey& operator=(const OpenKey&) = delete;

    bool isOpen() const { return m_result == platform::kErrorSuccess; }
    platform::RegistryKey key() const { return m_key; }

private:
    platform::OsServices& m_os;
    platform::RegistryKey m_key = nullptr;
    std::int32_t m_result = -1;
};

}  // namespace

CompanionProductInfo::CompanionProductInfo(platform::OsServices& os) {
    // A 32-bit companion registers in the 32-bit view, where 32-bit programs
    // look by default; a 64-bit one in the native view. The first view that
    // names a complete installation counts.
    for (const platform::RegistryView view : {platform::RegistryView::Wow64_32, platform::RegistryView::Wow64_64}) {
        if (checkView(os, view)) return;
    }
}

bool CompanionProductInfo::checkView(platform::OsServices& os, platform::RegistryView view) {
    installLocation.clear();
    displayVersion.clear();
    exePath.clear();
    const OpenKey key(os, std::wstring(kUninstallKeyRoot) + kCompanionUninstallKey, view);
    if (!key.isOpen()) return false;
    if (readRegistryString(os, key.key(), L"DisplayVersion", displayVersion, L"") != platform::kErrorSuccess) {
        return false;
    }
    if (readRegistryString(os, key.key(), L"InstallLocation", installLocation, L"") != platform::kErrorSuccess) {
        return false;
    }
    // A backslash is added even when the location already ends in one.
    exePath = installLocation + L"\\" + kCompanionExeName;
    installed = os.fileExists(exePath);
    return installed;
}

bool startInstalledCompanion(platform::OsServices& os, std::int32_t productIndex, const std::wstring& contentType,
                             std::wstring& contentAddress) {
    if (productIndex != kCompanionProductIndex || contentAddress.empty() || contentType.empty()) return false;
    const CompanionProductInfo companion(os);
    if (!companion.installed) return false;
    if (contentType == kTurlContentType) contentAddress = L"-turl " + contentAddress;
    // A companion that fails to start is not reported: the window closes as
    // after a start, like before.
    (void)os.shellOpen(companion.exePath, contentAddress, L"");
    return true;
}
