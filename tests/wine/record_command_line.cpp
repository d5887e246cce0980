// Stand-in for a downloaded installer or an installed companion program in
// the Wine scenarios: writes the command line it was started with, as UTF-8,
// to a file next to itself named after it ("<own path>.cmdline"), adds a line
// to "<own path>.starts" (one per start), then ends; while a file
// "<own path>.hold" exists, or the file the environment variable
// VORLANE_RECORDER_HOLD names (for a scenario that cannot know the folder it
// will run from), it keeps running first (at most two minutes), as an
// installer still running from an earlier start does.
// It asks version.dll about itself, so that the DLL is one of its load-time
// imports.
#include <windows.h>

#include <string>
#include <vector>

namespace {

std::string toUtf8(const wchar_t* text) {
    const int length = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (length <= 1) return {};
    std::string out(static_cast<std::size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), length, nullptr, nullptr);
    out.resize(static_cast<std::size_t>(length) - 1);
    return out;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    std::vector<wchar_t> self(32768);
    const DWORD length = GetModuleFileNameW(nullptr, self.data(), static_cast<DWORD>(self.size()));
    if (length == 0 || length >= self.size()) return 2;
    DWORD unused = 0;
    GetFileVersionInfoSizeW(self.data(), &unused);
    // Written under a temporary name first: the scenario waits for the final name.
    const std::wstring target = std::wstring(self.data(), length) + L".cmdline";
    const std::wstring partial = target + L".partial";
    const std::string text = toUtf8(GetCommandLineW());
    const HANDLE file = CreateFileW(partial.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 3;
    DWORD written = 0;
    const BOOL ok = WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    CloseHandle(file);
    if (!ok || written != text.size()) return 4;
    if (!MoveFileExW(partial.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING)) return 5;
    const std::wstring own(self.data(), length);
    const HANDLE starts = CreateFileW((own + L".starts").c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                      nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (starts != INVALID_HANDLE_VALUE) {
        WriteFile(starts, "start\n", 6, &written, nullptr);
        CloseHandle(starts);
    }
    std::wstring hold = own + L".hold";
    if (const DWORD size = GetEnvironmentVariableW(L"VORLANE_RECORDER_HOLD", nullptr, 0); size > 1) {
        std::vector<wchar_t> named(size);
        if (GetEnvironmentVariableW(L"VORLANE_RECORDER_HOLD", named.data(), size) == size - 1) hold = named.data();
    }
    for (int tick = 0; tick < 600 && GetFileAttributesW(hold.c_str()) != INVALID_FILE_ATTRIBUTES; ++tick)
        Sleep(200);
    return 0;
}
