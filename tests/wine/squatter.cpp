// A hostile user process for the Wine scenarios: before the program starts it
// makes, under every name a user process can make them, the running-copy
// mutex and the mapping that carries the running copy's window, publishes its
// own visible (minimised) window there, and records in a file whether that
// window was ever raised: restored from its minimised state, activated, or
// made the foreground window.
//   squatter.exe RECORD_FILE [FOLDER]
// FOLDER: where the program keeps its resume state (the user's temporary
// folder by default, where earlier builds kept it).
// RECORD_FILE gets "ready" once everything is made, then one line per raise
// ("restored", "activated", "foreground"). The program ends when
// RECORD_FILE.stop exists, or after five minutes.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "app/win32/machine_record.h"
#include "app/win32/running_copy.h"
#include "app/worker_steps.h"
#include "downloader/download_info.h"
#include "platform/system.h"
#include "platform/text.h"

namespace {

std::wstring g_record;
bool g_watching = false;  // set once the window's own start-up is over
bool g_sawForeground = false;

void note(const char* line) {
    if (FILE* out = _wfopen(g_record.c_str(), L"ab")) {
        std::fprintf(out, "%s\n", line);
        std::fclose(out);
    }
}

// The plain session name of earlier builds and the SID-carrying one used
// where there is no private namespace: whatever a process of the user can
// name, it can make first. (The namespace itself is out of its reach.)
std::vector<std::wstring> claimNames(const std::wstring& folder) {
    const std::wstring state = resumeStatePath(folder.empty() ? platform::temporaryDirectory() : folder,
                                               platform::fromUtf8(DownloadInfo().fileTag()));
    const std::wstring name = runningCopyName(state);
    return {L"Local\\" + name, platform::sessionObjects(name, platform::currentUserSid()).mutex};
}

LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (g_watching) {
        if (message == WM_ACTIVATE && LOWORD(wParam) != WA_INACTIVE) note("activated");
        if (message == WM_SIZE && wParam == SIZE_RESTORED) note("restored");
    }
    if (message == WM_TIMER) {
        if (g_watching && !g_sawForeground && GetForegroundWindow() == window) {
            g_sawForeground = true;
            note("foreground");
        }
        if (GetFileAttributesW((g_record + L".stop").c_str()) != INVALID_FILE_ATTRIBUTES) PostQuitMessage(0);
        return 0;
    }
    if (message == WM_DESTROY) PostQuitMessage(0);
    return DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2 || argc > 3) return 2;
    g_record = argv[1];

    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = windowProc;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = L"VorlaneSquatter";
    if (!RegisterClassW(&windowClass)) return 3;
    HWND window = CreateWindowExW(0, windowClass.lpszClassName, L"Squatter", WS_OVERLAPPEDWINDOW, 100, 100, 300, 200,
                                  nullptr, nullptr, windowClass.hInstance, nullptr);
    if (!window) return 3;
    // Minimised, so that a raise shows as a restore too, and disabled, so
    // that the system never activates it on its own when another window
    // closes (a program that raises it still restores and activates it).
    EnableWindow(window, FALSE);
    ShowWindow(window, SW_SHOWMINNOACTIVE);

    std::vector<HANDLE> held;
    for (const std::wstring& name : claimNames(argc > 2 ? argv[2] : L"")) {
        HANDLE mutex = CreateMutexW(nullptr, TRUE, name.c_str());
        HANDLE mapping = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, sizeof(LONG64),
                                           (name + L".window").c_str());
        if (!mutex || !mapping) return 4;
        void* view = MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, sizeof(LONG64));
        if (!view) return 4;
        *static_cast<LONG64 volatile*>(view) = static_cast<LONG64>(reinterpret_cast<std::intptr_t>(window));
        UnmapViewOfFile(view);
        held.push_back(mutex);
        held.push_back(mapping);
    }

    // Whatever the window's own start-up sent is handled before watching starts.
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
    g_watching = true;
    note("ready");
    SetTimer(window, 1, 100, nullptr);
    const ULONGLONG deadline = GetTickCount64() + 300000;
    while (GetTickCount64() < deadline) {
        if (MsgWaitForMultipleObjects(0, nullptr, FALSE, 200, QS_ALLINPUT) == WAIT_FAILED) break;
        bool quit = false;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            if (message.message == WM_QUIT) quit = true;
            DispatchMessageW(&message);
        }
        if (quit) break;
    }
    for (HANDLE handle : held) CloseHandle(handle);
    DestroyWindow(window);
    return 0;
}
