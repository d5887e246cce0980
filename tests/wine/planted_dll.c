/* A DLL an attacker would plant beside a program or in its working folder,
 * copied by 30_planted_dlls under the names of system DLLs. It exports
 * nothing: its only act is to betray that it was loaded, by writing an empty
 * file "<its own path>.loaded" when a process attaches it. Any code at all
 * would run here, elevated when the process is. */
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID reserved) {
    (void)reserved;
    if (reason != DLL_PROCESS_ATTACH) return TRUE;
    WCHAR path[MAX_PATH + 16];
    const DWORD length = GetModuleFileNameW(self, path, MAX_PATH);
    if (length > 0 && length < MAX_PATH) {
        lstrcpyW(path + length, L".loaded");
        const HANDLE marker = CreateFileW(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
        if (marker != INVALID_HANDLE_VALUE) CloseHandle(marker);
    }
    return TRUE;
}
