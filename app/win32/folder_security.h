// Who may change the download folder: the security descriptor the program
// gives the folder it makes, and the check a folder must pass before the
// elevated program writes into it or starts anything from it.
//
// Only SYSTEM and the Administrators group may own the folder or hold any
// right that changes it (add, write, delete, change its permissions or
// owner). Anybody may be allowed to read. A folder owned by the current user
// is refused on purpose: on Windows that is exactly the folder an
// unprivileged process of the user made.
#pragma once

#include <windows.h>

#include <memory>

namespace platform {

// Frees a descriptor the system allocated with LocalAlloc.
struct LocalFreeDeleter {
    void operator()(void* memory) const { LocalFree(memory); }
};
using OwnedSecurityDescriptor = std::unique_ptr<void, LocalFreeDeleter>;

// The descriptor a new download folder is created with: owner
// Administrators, a protected DACL (nothing inherited from the parent)
// granting full control to SYSTEM and Administrators only, passed on to
// every file made inside. Null when the system cannot build it.
OwnedSecurityDescriptor downloadFolderDescriptor();

// Whether `owner` and `dacl` (as GetSecurityInfo reads them from a folder)
// keep everybody but SYSTEM and Administrators from changing it: the owner
// is one of the two, the DACL exists, and every entry that grants a
// changing right names one of the two. Entries of kinds this check does not
// know are refused.
bool onlyAdministratorsMayChange(PSID owner, PACL dacl);

}  // namespace platform
