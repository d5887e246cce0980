// The program's record under HKEY_LOCAL_MACHINE, where only elevated
// processes can write: which download folder the program made for a user,
// and what vouches for the files in it. One key per user (by SID), so that
// two users of one machine never share a folder.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace platform {

// The string SID of the user this process runs as; empty when the token
// cannot be read.
std::wstring currentUserSid();

class MachineRecord {
public:
    // The key HKLM\<root>\<user SID> (64-bit view).
    explicit MachineRecord(std::wstring root = L"SOFTWARE\\Vorlane\\Downloads");

    bool read(const std::wstring& name, std::vector<std::uint8_t>& bytes) const;
    // Creates the key when there is none.
    bool write(const std::wstring& name, const std::vector<std::uint8_t>& bytes);
    // True once there is no such value.
    bool erase(const std::wstring& name);

    const std::wstring& keyPath() const { return m_key; }

private:
    std::wstring m_key;
};

}  // namespace platform
