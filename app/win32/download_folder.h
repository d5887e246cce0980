// Where the elevated program keeps the installer file, the resume state and
// its lock: a folder of its own under the Windows directory's Temp, made with
// a descriptor that lets only SYSTEM and Administrators change it, named so
// that nobody can predict it, and recorded under HKLM. Nothing the user's
// environment names (TEMP, TMP, windir) is read: the elevated process
// inherits those from the user.
//
// A later start uses the recorded folder only when the folder it opens is
// that very folder (same volume and file index), a plain directory (no
// reparse point), and its owner and DACL still keep everybody else from
// changing it; otherwise (a folder deleted since among them) it makes a new
// folder, and the Windows directory's Temp first when that is gone. Its parents are the
// system's own folders, which only administrators can change: a reparse
// point there (a volume an administrator mounted on the Windows directory's
// Temp) is the administrator's choice, not a user's redirection, and does
// not keep the program from working. The
// folder is held open without delete sharing while the program runs, so it
// cannot be renamed or replaced meanwhile.
#pragma once

#include <windows.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "app/win32/machine_record.h"

namespace platform {

// Which folder a record names: the volume and the file index of the folder
// the program made. NTFS puts a sequence number into the index, so a folder
// made later in the same file record has another one.
struct FolderIdentity {
    std::uint32_t volume = 0;
    std::uint64_t index = 0;
    bool operator==(const FolderIdentity&) const = default;
};

// What was read off an opened folder through its handle.
struct FolderFacts {
    bool directory = false;
    bool reparsePoint = false;
    FolderIdentity identity;
    // The owner and DACL read back keep everybody but administrators out.
    bool onlyAdministrators = false;
};

// Whether a folder with `facts` may be used for the user whose record names
// `recorded` (nothing: there is no record, so no folder is the program's).
// `descriptorsKept` is false only where the system keeps no security
// descriptors at all (Wine): there the descriptor cannot be judged, and the
// folder stands on the record and the other facts.
bool folderMayBeUsed(const std::optional<FolderIdentity>& recorded, const FolderFacts& facts,
                     bool descriptorsKept);

// False only under Wine, whose file system keeps no DACL and reports every
// owner as the user. ntdll cannot be replaced by a user's program, so a real
// Windows never answers false here.
bool systemKeepsSecurityDescriptors();

// Files in the folder older than this, and not in use, go at the next
// start: nothing cleans the folder as Windows cleans the user's %TEMP%.
inline constexpr std::chrono::hours kFolderRetention{24 * 7};

class DownloadFolder {
public:
    DownloadFolder() = default;
    ~DownloadFolder();
    DownloadFolder(const DownloadFolder&) = delete;
    DownloadFolder& operator=(const DownloadFolder&) = delete;

    // The folder's path: the recorded one when it passes every check,
    // otherwise a new one (which the record then names), `parent` made
    // first when it does not exist (its own parent must). Files past
    // kFolderRetention are removed. Throws std::runtime_error when no folder
    // can be had. `parent` defaults to <Windows directory>\Temp.
    std::wstring open(MachineRecord& record, std::wstring parent = {});

    // <Windows directory>\Temp, from GetSystemWindowsDirectoryW.
    static std::wstring defaultParent();

private:
    HANDLE m_handle = INVALID_HANDLE_VALUE;
    std::wstring m_path;
};

// Opens `path` as the folder is held: without following a reparse point, and
// without delete sharing. INVALID_HANDLE_VALUE when it cannot be opened.
HANDLE openFolderHeld(const std::wstring& path);
// Reads the facts off a held folder.
FolderFacts readFolderFacts(HANDLE folder);

}  // namespace platform
