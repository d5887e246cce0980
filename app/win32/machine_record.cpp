#include "app/win32/machine_record.h"

#include <windows.h>

#include <sddl.h>

namespace platform {

std::wstring currentUserSid() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return {};
    std::vector<std::uint8_t> buffer(256);
    DWORD needed = 0;
    BOOL ok = GetTokenInformation(token, TokenUser, buffer.data(), static_cast<DWORD>(buffer.size()), &needed);
    if (!ok && GetLastError() == ERROR_INSUFFICIENT_BUFFER) {
        buffer.resize(needed);
        ok = GetTokenInformation(token, TokenUser, buffer.data(), static_cast<DWORD>(buffer.size()), &needed);
    }
    CloseHandle(token);
    if (!ok) return {};
    LPWSTR text = nullptr;
    if (!ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid, &text)) return {};
    std::wstring sid(text);
    LocalFree(text);
    return sid;
}

MachineRecord::MachineRecord(std::wstring root) : m_key(std::move(root) + L"\\" + currentUserSid()) {}

namespace {

// Files of the downloads never reach a kilobyte of record; anything larger is not ours.
constexpr DWORD kMaxValueBytes = 4096;

}  // namespace

bool MachineRecord::read(const std::wstring& name, std::vector<std::uint8_t>& bytes) const {
    bytes.clear();
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, m_key.c_str(), 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS)
        return false;
    std::vector<std::uint8_t> buffer(kMaxValueBytes);
    DWORD size = kMaxValueBytes;
    DWORD type = 0;
    const LSTATUS status = RegQueryValueExW(key, name.c_str(), nullptr, &type, buffer.data(), &size);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS || type != REG_BINARY) return false;
    buffer.resize(size);
    bytes = std::move(buffer);
    return true;
}

bool MachineRecord::write(const std::wstring& name, const std::vector<std::uint8_t>& bytes) {
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, m_key.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr, &key, nullptr) != ERROR_SUCCESS)
        return false;
    const LSTATUS status = RegSetValueExW(key, name.c_str(), 0, REG_BINARY, bytes.data(),
                                          static_cast<DWORD>(bytes.size()));
    // Not flushed: the system writes the hive within seconds, and a record
    // lost to a power cut only names an older state or folder, which the next
    // start refuses (it begins afresh), never trusts.
    RegCloseKey(key);
    return status == ERROR_SUCCESS;
}

bool MachineRecord::erase(const std::wstring& name) {
    HKEY key = nullptr;
    const LSTATUS opened = RegOpenKeyExW(HKEY_LOCAL_MACHINE, m_key.c_str(), 0, KEY_SET_VALUE | KEY_WOW64_64KEY, &key);
    if (opened == ERROR_FILE_NOT_FOUND) return true;
    if (opened != ERROR_SUCCESS) return false;
    const LSTATUS status = RegDeleteValueW(key, name.c_str());
    RegCloseKey(key);
    return status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND;
}

}  // namespace platform
