#include "app/win32/download_folder.h"

#include <aclapi.h>
#include <ntsecapi.h>

#include <cstring>
#include <stdexcept>
#include <vector>

#include "app/win32/folder_security.h"

namespace platform {

namespace {

// The record's value: volume (4 bytes), file index (8 bytes), then the
// folder's name in UTF-16, all little-endian.
constexpr wchar_t kFolderValue[] = L"Folder";
constexpr std::size_t kIdentityBytes = 12;
constexpr wchar_t kNamePrefix[] = L"Vorlane-";
constexpr std::size_t kRandomBytes = 16;
// Attempts at a fresh name before giving up (each one collides only with a
// folder somebody made at a name nobody could know).
constexpr int kCreateAttempts = 8;

struct RecordedFolder {
    FolderIdentity identity;
    std::wstring name;
};

bool isOurName(const std::wstring& name) {
    const std::wstring prefix = kNamePrefix;
    if (name.size() != prefix.size() + kRandomBytes * 2 || name.compare(0, prefix.size(), prefix) != 0) return false;
    for (std::size_t i = prefix.size(); i < name.size(); ++i) {
        const wchar_t c = name[i];
        if (!((c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f'))) return false;
    }
    return true;
}

std::optional<RecordedFolder> readRecord(const MachineRecord& record) {
    std::vector<std::uint8_t> bytes;
    if (!record.read(kFolderValue, bytes) || bytes.size() < kIdentityBytes || (bytes.size() - kIdentityBytes) % 2 != 0)
        return std::nullopt;
    RecordedFolder folder;
    std::memcpy(&folder.identity.volume, bytes.data(), 4);
    std::memcpy(&folder.identity.index, bytes.data() + 4, 8);
    folder.name.resize((bytes.size() - kIdentityBytes) / 2);
    std::memcpy(folder.name.data(), bytes.data() + kIdentityBytes, bytes.size() - kIdentityBytes);
    // A name with a separator or a dot-dot would lead out of the parent.
    if (!isOurName(folder.name)) return std::nullopt;
    return folder;
}

bool writeRecord(MachineRecord& record, const RecordedFolder& folder) {
    std::vector<std::uint8_t> bytes(kIdentityBytes + folder.name.size() * 2);
    std::memcpy(bytes.data(), &folder.identity.volume, 4);
    std::memcpy(bytes.data() + 4, &folder.identity.index, 8);
    std::memcpy(bytes.data() + kIdentityBytes, folder.name.data(), folder.name.size() * 2);
    return record.write(kFolderValue, bytes);
}

std::optional<std::wstring> randomName() {
    unsigned char random[kRandomBytes];
    if (!RtlGenRandom(random, sizeof random)) return std::nullopt;
    std::wstring name = kNamePrefix;
    constexpr wchar_t kHex[] = L"0123456789abcdef";
    for (const unsigned char byte : random) {
        name.push_back(kHex[byte >> 4]);
        name.push_back(kHex[byte & 0x0F]);
    }
    return name;
}

// <Windows directory>\Temp deleted (by a cleaner, by hand) is made again,
// with the security the Windows directory passes on: only an elevated
// process can make a folder there, and no user can have put anything at
// the name meanwhile. CreateDirectoryW makes only a new folder and fails on
// anything at the name, a link included, which it never follows; only the
// last component is made.
void makeMissingParent(const std::wstring& parent) {
    if (GetFileAttributesW(parent.c_str()) != INVALID_FILE_ATTRIBUTES) return;
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) CreateDirectoryW(parent.c_str(), nullptr);
}

void closeHandle(HANDLE& handle) {
    if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
    handle = INVALID_HANDLE_VALUE;
}

// Files of the folder that outlived kFolderRetention go; one in use (the
// lock of a running copy, an installer that still runs) stays.
void removeExpiredFiles(const std::wstring& folder) {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    const auto ticks = [](const FILETIME& time) {
        return (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
    };
    // FILETIME counts 100 ns.
    const std::uint64_t retention =
        static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::seconds>(kFolderRetention).count()) *
        10'000'000ULL;
    WIN32_FIND_DATAW entry;
    HANDLE search = FindFirstFileExW((folder + L"\\*").c_str(), FindExInfoBasic, &entry, FindExSearchNameMatch,
                                     nullptr, 0);
    if (search == INVALID_HANDLE_VALUE) return;
    do {
        if (entry.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) continue;
        if (ticks(now) - ticks(entry.ftLastWriteTime) > retention && ticks(now) > ticks(entry.ftLastWriteTime))
            DeleteFileW((folder + L"\\" + entry.cFileName).c_str());
    } while (FindNextFileW(search, &entry));
    FindClose(search);
}

}  // namespace

bool folderMayBeUsed(const std::optional<FolderIdentity>& recorded, const FolderFacts& facts,
                     bool descriptorsKept) {
    if (!recorded || !facts.directory || facts.reparsePoint) return false;
    if (facts.identity != *recorded) return false;
    return !descriptorsKept || facts.onlyAdministrators;
}

bool systemKeepsSecurityDescriptors() {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return !(ntdll && GetProcAddress(ntdll, "wine_get_version"));
}

HANDLE openFolderHeld(const std::wstring& path) {
    // No FILE_SHARE_DELETE: while held, nobody renames, deletes or replaces it.
    return CreateFileW(path.c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | READ_CONTROL | SYNCHRONIZE,
                       FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                       FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

FolderFacts readFolderFacts(HANDLE folder) {
    FolderFacts facts;
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(folder, &info)) return facts;
    facts.directory = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    facts.reparsePoint = (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    facts.identity.volume = info.dwVolumeSerialNumber;
    facts.identity.index = (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    PSID owner = nullptr;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetSecurityInfo(folder, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner,
                        nullptr, &dacl, nullptr, &descriptor) == ERROR_SUCCESS) {
        facts.onlyAdministrators = onlyAdministratorsMayChange(owner, dacl);
        LocalFree(descriptor);
    }
    return facts;
}

DownloadFolder::~DownloadFolder() { closeHandle(m_handle); }

std::wstring DownloadFolder::defaultParent() {
    std::vector<wchar_t> buffer(MAX_PATH + 1);
    for (;;) {
        const UINT length = GetSystemWindowsDirectoryW(buffer.data(), static_cast<UINT>(buffer.size()));
        if (length == 0) throw std::runtime_error("no Windows directory");
        if (length < buffer.size()) {
            std::wstring path(buffer.data(), length);
            if (!path.empty() && path.back() == L'\\') path.pop_back();
            return path + L"\\Temp";
        }
        buffer.resize(length + 1);
    }
}

std::wstring DownloadFolder::open(MachineRecord& record, std::wstring parent) {
    if (!m_path.empty()) return m_path;
    if (parent.empty()) parent = defaultParent();
    const bool descriptorsKept = systemKeepsSecurityDescriptors();

    if (const std::optional<RecordedFolder> recorded = readRecord(record)) {
        const std::wstring path = parent + L"\\" + recorded->name;
        HANDLE folder = openFolderHeld(path);
        if (folder != INVALID_HANDLE_VALUE &&
            folderMayBeUsed(recorded->identity, readFolderFacts(folder), descriptorsKept)) {
            m_handle = folder;
            m_path = path;
            removeExpiredFiles(m_path);
            return m_path;
        }
        // Not the folder the program made, or no longer safe: never used,
        // never touched.
        closeHandle(folder);
    }

    const OwnedSecurityDescriptor descriptor = downloadFolderDescriptor();
    if (!descriptor) throw std::runtime_error("no security descriptor for the download folder");
    SECURITY_ATTRIBUTES attributes{sizeof(attributes), descriptor.get(), FALSE};
    makeMissingParent(parent);
    for (int attempt = 0; attempt < kCreateAttempts; ++attempt) {
        const std::optional<std::wstring> name = randomName();
        if (!name) break;
        const std::wstring path = parent + L"\\" + *name;
        // Fails when anything exists at the name: a folder is only used when
        // this very call made it.
        if (!CreateDirectoryW(path.c_str(), &attributes)) continue;
        HANDLE folder = openFolderHeld(path);
        if (folder == INVALID_HANDLE_VALUE) continue;
        const FolderFacts facts = readFolderFacts(folder);
        // Checked as a later start checks it, so a made folder that a later
        // start would refuse is not used now either.
        if (!folderMayBeUsed(facts.identity, facts, descriptorsKept) ||
            !writeRecord(record, RecordedFolder{facts.identity, *name})) {
            closeHandle(folder);
            RemoveDirectoryW(path.c_str());
            continue;
        }
        m_handle = folder;
        m_path = path;
        return m_path;
    }
    throw std::runtime_error("no download folder");
}

}  // namespace platform
