// The one running copy per resume state on Windows, behind Win32Os's claim
// calls: the mutex that names the running copy and the file mapping that
// carries its window, made where no user process can make them first (a
// private namespace bounded by the Administrators group) or, where Windows
// offers no such namespace (Wine), under session names that carry the user's
// SID; and the raise of a published window, only when its process runs this
// very program file.
#pragma once

#include <string>

namespace platform {

// The two objects of one claim.
struct RunningCopyObjects {
    std::wstring mutex;
    std::wstring window;  // the mapping holding the running copy's HWND
};

// Inside the program's private namespace: "Vorlane\<name>" and "Vorlane\<name>.window".
RunningCopyObjects namespacedObjects(const std::wstring& name);
// Without it: "Local\<name>-<user SID>" and "Local\<name>-<user SID>.window".
RunningCopyObjects sessionObjects(const std::wstring& name, const std::wstring& userSid);
// The security descriptor (SDDL) the private namespace is made with: access
// for the Administrators group and SYSTEM only.
inline constexpr wchar_t kRunningCopyNamespaceSddl[] = L"D:P(A;;GA;;;BA)(A;;GA;;;SY)";

// Whether two image paths name the same file as Windows compares file names:
// ordinal, case ignored (CompareStringOrdinal).
bool sameImagePath(const std::wstring& a, const std::wstring& b);
// Whether the process of `window` (an HWND) runs this program's own file.
bool isOwnProgramWindow(void* window);

class RunningCopy {
public:
    RunningCopy() = default;
    // Closes the claim's objects, then the namespace (taken away by the copy
    // that made it) and the boundary.
    ~RunningCopy();
    RunningCopy(const RunningCopy&) = delete;
    RunningCopy& operator=(const RunningCopy&) = delete;

    // Makes the mutex of `name`: true when this process made it (and with it
    // the window mapping); false when it existed already or could not be made.
    bool claim(const std::wstring& name);
    // Writes `window` (an HWND) into the mapping of a successful claim.
    void publish(void* window);
    // Looks for a window published under `name`, in the namespace and under
    // the session names, for up to `waitMs`; restores it and brings it (or
    // the popup of its own process open over it) to the front only when it is
    // this program's. False when no such window was found in time.
    bool activate(const std::wstring& name, int waitMs);

private:
    // Enters the private namespace, making it when `make` is set and it is
    // not there yet; false where there is none to enter.
    bool enterNamespace(bool make);

    void* m_boundary = nullptr;
    void* m_namespace = nullptr;
    bool m_namespaceMade = false;
    void* m_mutex = nullptr;
    void* m_mapping = nullptr;
};

}  // namespace platform
