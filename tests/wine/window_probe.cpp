// Reads what another program's windows show, for the Wine scenarios: every
// visible top-level window whose caption is the given text, and each of its
// controls with id, class, visibility, rectangle (in the window's client
// coordinates) and text. Output is UTF-8, one line per window or control:
//   window <caption>
//   control <id> <class> <visible 0|1> <left>,<top>,<right>,<bottom> <text>
// Exit code 0 when at least one window matched, 1 otherwise.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

std::string toUtf8(const std::wstring& text) {
    if (text.empty()) return {};
    const int length = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                           nullptr, nullptr);
    std::string out(static_cast<std::size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), length, nullptr,
                        nullptr);
    return out;
}

// WM_GETTEXT across processes; bounded, so that a window whose thread is busy
// cannot hang the probe.
std::wstring textOf(HWND window) {
    std::vector<wchar_t> buffer(4096);
    DWORD_PTR copied = 0;
    if (!SendMessageTimeoutW(window, WM_GETTEXT, buffer.size(), reinterpret_cast<LPARAM>(buffer.data()),
                             SMTO_ABORTIFHUNG, 3000, &copied)) {
        return L"<no answer>";
    }
    return std::wstring(buffer.data(), static_cast<std::size_t>(copied));
}

std::wstring classOf(HWND window) {
    wchar_t name[256] = {};
    GetClassNameW(window, name, 256);
    return name;
}

struct Search {
    std::wstring caption;
    std::vector<HWND> found;
};

BOOL CALLBACK collectTopLevel(HWND window, LPARAM data) {
    auto* search = reinterpret_cast<Search*>(data);
    if (IsWindowVisible(window) && textOf(window) == search->caption) search->found.push_back(window);
    return TRUE;
}

BOOL CALLBACK printControl(HWND control, LPARAM data) {
    const HWND parent = reinterpret_cast<HWND>(data);
    if (GetParent(control) != parent) return TRUE;
    RECT r{};
    GetWindowRect(control, &r);
    MapWindowPoints(HWND_DESKTOP, parent, reinterpret_cast<POINT*>(&r), 2);
    std::printf("control %d %s %d %ld,%ld,%ld,%ld %s\n", GetDlgCtrlID(control), toUtf8(classOf(control)).c_str(),
                IsWindowVisible(control) ? 1 : 0, r.left, r.top, r.right, r.bottom,
                toUtf8(textOf(control)).c_str());
    return TRUE;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: window_probe CAPTION\n");
        return 2;
    }
    Search search{argv[1], {}};
    EnumWindows(&collectTopLevel, reinterpret_cast<LPARAM>(&search));
    for (HWND window : search.found) {
        std::printf("window %s\n", toUtf8(search.caption).c_str());
        EnumChildWindows(window, &printControl, reinterpret_cast<LPARAM>(window));
    }
    std::fflush(stdout);
    return search.found.empty() ? 1 : 0;
}
