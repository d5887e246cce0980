// The running-copy claim on Win32: a private namespace that only elevated
// administrators and SYSTEM can make or open, the SID-carrying session names
// where there is none, and the image check before any window is raised.
#include "app/win32/running_copy.h"

#include "app/win32/machine_record.h"

#include <windows.h>

#include <sddl.h>

#include <cstdint>
#include <vector>

namespace platform {

namespace {

// The boundary's name and the alias the namespace is known by in this process.
constexpr wchar_t kNamespaceName[] = L"Vorlane";

HWND publishedWindow(const std::wstring& mappingName) {
    HANDLE mapping = OpenFileMappingW(FILE_MAP_READ, FALSE, mappingName.c_str());
    if (!mapping) return nullptr;
    HWND window = nullptr;
    if (void* view = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, sizeof(LONG64))) {
        // A read-only view: an aligned 8-byte load, no interlocked operation
        // (those write).
        const LONG64 value = *static_cast<const LONG64 volatile*>(view);
        window = reinterpret_cast<HWND>(static_cast<std::intptr_t>(value));
        UnmapViewOfFile(view);
    }
    CloseHandle(mapping);
    return window;
}

std::wstring imagePath(HANDLE process) {
    std::wstring path(32768, L'\0');
    DWORD size = static_cast<DWORD>(path.size());
    if (!QueryFullProcessImageNameW(process, 0, path.data(), &size)) return {};
    path.resize(size);
    return path;
}

DWORD processOf(HWND window) {
    DWORD process = 0;
    return GetWindowThreadProcessId(window, &process) ? process : 0;
}

void raise(HWND window) {
    if (IsIconic(window)) ShowWindow(window, SW_RESTORE);
    // The close confirmation or an error notice when one is open over it; an
    // owned window of some other process is not ours to bring forward.
    HWND front = GetLastActivePopup(window);
    if (!front || processOf(front) != processOf(window)) front = window;
    SetForegroundWindow(front);
}

}  // namespace

RunningCopyObjects namespacedObjects(const std::wstring& name) {
    const std::wstring object = std::wstring(kNamespaceName) + L"\\" + name;
    return {object, object + L".window"};
}

RunningCopyObjects sessionObjects(const std::wstring& name, const std::wstring& userSid) {
    const std::wstring object = L"Local\\" + name + L"-" + userSid;
    return {object, object + L".window"};
}

bool sameImagePath(const std::wstring& a, const std::wstring& b) {
    return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()), TRUE) ==
           CSTR_EQUAL;
}

bool isOwnProgramWindow(void* window) {
    const DWORD process = processOf(static_cast<HWND>(window));
    if (!process) return false;
    HANDLE handle = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, process);
    if (!handle) return false;
    const std::wstring theirs = imagePath(handle);
    CloseHandle(handle);
    // Our own path read the same way, so that both are in the same form.
    return !theirs.empty() && sameImagePath(theirs, imagePath(GetCurrentProcess()));
}

RunningCopy::~RunningCopy() {
    if (m_mapping) CloseHandle(m_mapping);
    if (m_mutex) CloseHandle(m_mutex);
    // Its maker takes the namespace away; a copy that only opened it leaves
    // it to the maker, which may still run.
    if (m_namespace) ClosePrivateNamespace(m_namespace, m_namespaceMade ? PRIVATE_NAMESPACE_FLAG_DESTROY : 0);
    if (m_boundary) DeleteBoundaryDescriptor(m_boundary);
}

bool RunningCopy::enterNamespace(bool make) {
    if (m_namespace) return true;
    if (!m_boundary) {
        // Wine 8 answers nothing here (a stub), and its other namespace calls
        // end the process: none of them is reached without a boundary.
        HANDLE boundary = CreateBoundaryDescriptorW(kNamespaceName, 0);
        if (!boundary) return false;
        // Only a token with the Administrators group enabled (an elevated
        // one) can make or open a namespace with this boundary.
        BYTE administrators[SECURITY_MAX_SID_SIZE];
        DWORD size = sizeof administrators;
        if (!CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators, &size) ||
            !AddSIDToBoundaryDescriptor(&boundary, administrators)) {
            DeleteBoundaryDescriptor(boundary);
            return false;
        }
        m_boundary = boundary;
    }
    if (make) {
        SECURITY_ATTRIBUTES attributes{};
        attributes.nLength = sizeof attributes;
        if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kRunningCopyNamespaceSddl, SDDL_REVISION_1,
                                                                  &attributes.lpSecurityDescriptor, nullptr))
            return false;
        HANDLE made = CreatePrivateNamespaceW(&attributes, m_boundary, kNamespaceName);
        const DWORD error = GetLastError();
        LocalFree(attributes.lpSecurityDescriptor);
        if (made) {
            m_namespace = made;
            m_namespaceMade = true;
            return true;
        }
        if (error != ERROR_ALREADY_EXISTS) return false;
    }
    m_namespace = OpenPrivateNamespaceW(m_boundary, kNamespaceName);
    return m_namespace != nullptr;
}

bool RunningCopy::claim(const std::wstring& name) {
    RunningCopyObjects objects;
    if (enterNamespace(true)) {
        objects = namespacedObjects(name);
    } else {
        const std::wstring sid = currentUserSid();
        if (sid.empty()) return false;
        objects = sessionObjects(name, sid);
    }
    SetLastError(ERROR_SUCCESS);
    HANDLE mutex = CreateMutexW(nullptr, FALSE, objects.mutex.c_str());
    if (!mutex) return false;
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        CloseHandle(mutex);
        return false;
    }
    m_mutex = mutex;
    // Made with the claim, so that a later copy finds it whenever it finds
    // the mutex; zero until the window is published. One somebody made
    // before us is theirs: our window is not written into it.
    SetLastError(ERROR_SUCCESS);
    m_mapping = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, sizeof(LONG64),
                                   objects.window.c_str());
    if (m_mapping && GetLastError() == ERROR_ALREADY_EXISTS) {
        CloseHandle(m_mapping);
        m_mapping = nullptr;
    }
    return true;
}

void RunningCopy::publish(void* window) {
    if (!m_mapping) return;
    void* view = MapViewOfFile(m_mapping, FILE_MAP_WRITE, 0, 0, sizeof(LONG64));
    if (!view) return;
    InterlockedExchange64(static_cast<LONG64 volatile*>(view),
                          static_cast<LONG64>(reinterpret_cast<std::intptr_t>(window)));
    UnmapViewOfFile(view);
}

bool RunningCopy::activate(const std::wstring& name, int waitMs) {
    const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(waitMs > 0 ? waitMs : 0);
    const std::wstring sid = currentUserSid();
    for (;;) {
        // Where a copy of ours may have published: the namespace (opened,
        // never made, by a copy that only looks) and the session names. Any
        // user process may have written the latter.
        std::vector<std::wstring> places;
        if (enterNamespace(false)) places.push_back(namespacedObjects(name).window);
        if (!sid.empty()) places.push_back(sessionObjects(name, sid).window);
        for (const std::wstring& place : places) {
            HWND window = publishedWindow(place);
            if (window && IsWindow(window) && isOwnProgramWindow(window)) {
                raise(window);
                return true;
            }
        }
        if (GetTickCount64() >= deadline) return false;
        Sleep(50);
    }
}

}  // namespace platform
