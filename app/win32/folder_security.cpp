#include "app/win32/folder_security.h"

#include <sddl.h>

namespace platform {

namespace {

// Rights that change a folder, what it holds, or who may do either.
constexpr ACCESS_MASK kChangingRights = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA |
                                        FILE_WRITE_ATTRIBUTES | FILE_DELETE_CHILD | DELETE | WRITE_DAC |
                                        WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL | MAXIMUM_ALLOWED;

bool isAdministration(PSID sid) {
    return sid && IsValidSid(sid) &&
           (IsWellKnownSid(sid, WinLocalSystemSid) || IsWellKnownSid(sid, WinBuiltinAdministratorsSid));
}

}  // namespace

OwnedSecurityDescriptor downloadFolderDescriptor() {
    // O:BA owner Administrators; D:PAI a protected DACL; OICI: inherited by
    // the files and folders made inside; FA: full control.
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(L"O:BAD:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)",
                                                              SDDL_REVISION_1, &descriptor, nullptr))
        return nullptr;
    return OwnedSecurityDescriptor(descriptor);
}

bool onlyAdministratorsMayChange(PSID owner, PACL dacl) {
    // A missing DACL grants everybody everything.
    if (!isAdministration(owner) || !dacl || !IsValidAcl(dacl)) return false;
    for (DWORD index = 0; index < dacl->AceCount; ++index) {
        void* entry = nullptr;
        if (!GetAce(dacl, index, &entry)) return false;
        const auto* header = static_cast<const ACE_HEADER*>(entry);
        if (header->AceType == ACCESS_DENIED_ACE_TYPE) continue;
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE) return false;
        const auto* allowed = static_cast<const ACCESS_ALLOWED_ACE*>(entry);
        // Inherit-only entries count too: they reach the files made inside.
        if ((allowed->Mask & kChangingRights) != 0 &&
            !isAdministration(const_cast<DWORD*>(&allowed->SidStart)))
            return false;
    }
    return true;
}

}  // namespace platform
