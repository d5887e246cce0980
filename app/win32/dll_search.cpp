// Which DLLs load into the program, and from where.
//
// The program runs elevated from the user's Downloads folder, where a web
// page can drop a bcrypt.dll or a version.dll unnoticed. Windows looks for a
// DLL in the program's folder (and, for LoadLibrary, in the current folder)
// before System32, Known DLLs aside. Hence:
//  1. The import table names only kernel32, advapi32, msvcrt and ws2_32,
//     Known DLLs on every Windows since 7 (scripts/test checks it).
//  2. Every other DLL the program calls is delay-loaded (the list is in
//     cmake/DelayLoad.cmake); on its first call the hook below loads it from
//     System32 alone, never by its bare name.
//  3. Before any other code of the program runs, the process's own search
//     order is cut down to System32, for the DLLs that Windows and libcurl
//     load by name (uxtheme, version, secur32, iphlpapi, ...).
// A DLL that cannot be loaded from System32 ends the program with the
// internal error box ("Internal Error (system code: 126). The program will
// be automatically closed!") and exit code 1.
#include <windows.h>
// After windows.h, which it builds on.
#include <delayimp.h>

#include <atomic>
#include <cstdint>
#include <string>

#include "app/installer_launch.h"
#include "app/ui_text.h"

namespace {

// SetDefaultDllDirectories came with KB2533623 on Windows 7; without it
// SetDllDirectoryW(L"") at least takes the current folder out of the order.
void restrictDllSearch() {
    SetDllDirectoryW(L"");
    using SetDefaultDllDirectoriesFn = BOOL(WINAPI*)(DWORD);
    const FARPROC found = GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories");
    if (found != nullptr)
        reinterpret_cast<SetDefaultDllDirectoriesFn>(reinterpret_cast<void (*)()>(found))(LOAD_LIBRARY_SEARCH_SYSTEM32);
}

// The loader calls the executable's TLS callbacks after its imports are
// loaded and before its entry point: before the C runtime's start-up and
// every static constructor, whatever their priority. ".CRT$XLB" sorts
// before the runtime's own callback (".CRT$XLC").
void NTAPI onProcessEvent(PVOID, DWORD reason, PVOID) {
    if (reason == DLL_PROCESS_ATTACH) restrictDllSearch();
}
[[gnu::section(".CRT$XLB"), gnu::used]] const PIMAGE_TLS_CALLBACK kRestrictAtStart = onProcessEvent;

HMODULE loadFromSystemFolder(const char* name) {
    const std::wstring wide(name, name + std::char_traits<char>::length(name));  // names in our own image: ASCII
    const HMODULE module = LoadLibraryExW(wide.c_str(), nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (module != nullptr || GetLastError() != ERROR_INVALID_PARAMETER) return module;
    // Windows 7 without KB2533623 refuses the flag: the full path, whose
    // own imports are then looked for in System32 first.
    wchar_t folder[MAX_PATH];
    const UINT length = GetSystemDirectoryW(folder, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return nullptr;
    const std::wstring path = std::wstring(folder, length) + L"\\" + wide;
    return LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

std::atomic<DWORD> g_reportingThread{0};

// The first thread to fail shows the box and ends the process; any other
// waits for that. A failure while the box itself loads (user32 missing)
// ends the process at once.
[[noreturn]] void endForMissingDll(DWORD error) {
    DWORD none = 0;
    const DWORD self = GetCurrentThreadId();
    if (g_reportingThread.compare_exchange_strong(none, self)) {
        const std::wstring text =
            joinSentences(launchErrorMessage(static_cast<std::int32_t>(error)), uiText(kTextClosingNotice));
        MessageBoxW(nullptr, text.c_str(), uiText(kTextErrorCaption).c_str(), MB_OK | MB_ICONERROR | MB_SETFOREGROUND);
    } else if (none != self) {
        Sleep(INFINITE);
    }
    for (;;) TerminateProcess(GetCurrentProcess(), 1);
}

// Returning nothing at dliNotePreLoadLibrary would make MinGW's helper call
// LoadLibrary with the bare name: the hook never does.
FARPROC WINAPI onDelayLoad(unsigned notice, PDelayLoadInfo info) {
    if (notice != dliNotePreLoadLibrary) return nullptr;
    const HMODULE module = loadFromSystemFolder(info->szDll);
    if (module == nullptr) endForMissingDll(GetLastError());
    return reinterpret_cast<FARPROC>(module);
}

// A function missing from a loaded DLL.
FARPROC WINAPI onDelayLoadFailure(unsigned, PDelayLoadInfo info) { endForMissingDll(info->dwLastError); }

}  // namespace

// MinGW's __delayLoadHelper2 (libmingwex) calls these; defined here, they
// replace the library's empty ones, each alone in its own archive member.
// Static initialisation: set before the first instruction runs.
PfnDliHook __pfnDliNotifyHook2 = onDelayLoad;
PfnDliHook __pfnDliFailureHook2 = onDelayLoadFailure;
