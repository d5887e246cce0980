// Another process next to the downloader in the Wine scenarios: tries again
// and again to open the downloaded installer for writing (sharing everything,
// as a meddling program would) and tells, for each try, whether the file then
// held every byte of the served installer and whether the installer had been
// started already (its command-line record exists). Prints one count per
// kind of observation and ends once a write open succeeded after the start,
// or when its time is up. "Started" means a process of the installer's name
// exists or its record does: CreateProcess makes the process before the
// downloader's ShellExecuteW returns and lets go of its hold.
//   hold_watch.exe INSTALLER_PATH SERVED_COPY_PATH SECONDS
#include <windows.h>

#include <tlhelp32.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

std::vector<char> readAll(const std::wstring& path) {
    std::vector<char> bytes;
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return bytes;
    LARGE_INTEGER size{};
    if (GetFileSizeEx(file, &size) && size.QuadPart > 0) {
        bytes.resize(static_cast<std::size_t>(size.QuadPart));
        DWORD got = 0;
        if (!ReadFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &got, nullptr) || got != bytes.size()) {
            bytes.clear();
        }
    }
    CloseHandle(file);
    return bytes;
}

bool exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

bool processRunning(const std::wstring& exeName) {
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return false;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    bool found = false;
    for (BOOL more = Process32FirstW(snapshot, &entry); more && !found; more = Process32NextW(snapshot, &entry)) {
        found = lstrcmpiW(entry.szExeFile, exeName.c_str()) == 0;
    }
    CloseHandle(snapshot);
    return found;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: hold_watch INSTALLER SERVED_COPY SECONDS\n");
        return 2;
    }
    const std::wstring installer = argv[1];
    const std::wstring record = installer + L".cmdline";
    const std::wstring exeName = installer.substr(installer.find_last_of(L"\\/") + 1);
    const auto isStarted = [&] { return exists(record) || processRunning(exeName); };
    const std::vector<char> served = readAll(argv[2]);
    if (served.empty()) return 3;
    const ULONGLONG deadline = GetTickCount64() + 1000ull * static_cast<ULONGLONG>(_wtoi(argv[3]));

    // [complete][started][writable]
    long counts[2][2][2] = {};
    bool done = false;
    while (!done && GetTickCount64() < deadline) {
        if (!exists(installer)) {
            Sleep(1);
            continue;
        }
        // Judged before the try, so that "not started" cannot be a start that
        // happened after the try.
        bool started = isStarted();
        const bool complete = readAll(installer) == served;
        const HANDLE writer =
            CreateFileW(installer.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                        nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        const bool writable = writer != INVALID_HANDLE_VALUE;
        if (writable) CloseHandle(writer);
        // A start during the try cannot be placed before or after it.
        if (writable && !started) started = isStarted();
        ++counts[complete][started][writable];
        done = writable && started;
    }
    std::printf("held-while-incomplete %ld\n", counts[0][0][0]);
    std::printf("writable-while-incomplete %ld\n", counts[0][0][1]);
    std::printf("held-complete-before-start %ld\n", counts[1][0][0]);
    std::printf("writable-complete-before-start %ld\n", counts[1][0][1]);
    std::printf("writable-after-start %ld\n", counts[1][1][1] + counts[0][1][1]);
    return done ? 0 : 1;
}
