// Reads what another program's windows show, for the Wine scenarios: every
// visible top-level window whose caption is the given text, and each of its
// controls with id, class, visibility, rectangle (in the window's client
// coordinates, physical pixels) and text. Output is UTF-8, one line per
// window or control:
//   window <caption>
//   control <id> <class> <visible 0|1> <left>,<top>,<right>,<bottom> <text>
// With --font POINTS FACE (the font the window's template names: font
// handles do not cross processes) each window also gets
//   dpi <the window's DPI> <client width>x<height>
//   width <id> <pixels>          for each Static control's text
//   measure <pixels> <text>      for each --measure TEXT
// all measured in that font at the window's DPI.
// window_probe --manifest PROGRAM prints the DPI settings of the program's
// manifest as the system reads them (Wine sizes every window for the one
// system DPI whatever the program declares, so its windows cannot tell):
//   dpiAware <value>
//   dpiAwareness <value>
// A window that is hidden or destroyed while it is read (a dialog ending
// meanwhile) is left out: its controls would read as hidden or empty though
// the window never showed them so.
// Exit code 0 when at least one window was listed (or with --manifest), 1 otherwise.

// The DPI functions of Windows 10; the probe only runs under Wine.
#undef _WIN32_WINNT
#define _WIN32_WINNT 0x0A00
#include <windows.h>

#include <algorithm>
#include <cstdarg>
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

// What --font and --measure ask for: the font a dialog template names, made
// at a window's DPI as the dialog manager makes it, and the texts to measure.
struct Measure {
    int points = 0;
    std::wstring face;
    std::vector<std::wstring> texts;
};

int textWidth(const Measure& measure, UINT dpi, const std::wstring& text) {
    const HDC dc = GetDC(nullptr);
    const HFONT font = CreateFontW(-MulDiv(measure.points, static_cast<int>(dpi), 72), 0, 0, 0, FW_NORMAL, FALSE,
                                   FALSE, FALSE, DEFAULT_CHARSET, 0, 0, PROOF_QUALITY, FF_DONTCARE,
                                   measure.face.c_str());
    const HGDIOBJ old = SelectObject(dc, font);
    SIZE size{};
    GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &size);
    SelectObject(dc, old);
    DeleteObject(font);
    ReleaseDC(nullptr, dc);
    return size.cx;
}

// One setting of a program's manifest, read the way the system reads it at
// start; empty when the manifest does not have it.
std::wstring manifestSetting(const std::wstring& program, const wchar_t* ns, const wchar_t* name) {
    ACTCTXW request{};
    request.cbSize = sizeof(request);
    request.dwFlags = ACTCTX_FLAG_RESOURCE_NAME_VALID;
    request.lpSource = program.c_str();
    request.lpResourceName = MAKEINTRESOURCEW(1);
    const HANDLE context = CreateActCtxW(&request);
    if (context == INVALID_HANDLE_VALUE) return L"<no manifest>";
    wchar_t value[256] = {};
    SIZE_T written = 0;
    if (!QueryActCtxSettingsW(0, context, ns, name, value, 256, &written)) value[0] = 0;
    ReleaseActCtx(context);
    return value;
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

struct Listing {
    HWND window;
    const Measure* measure;
    std::string text;
};

// The fixed fields of a line; texts of any length are appended as they are.
__attribute__((format(printf, 2, 3))) void append(std::string& out, const char* format, ...) {
    char line[256];
    va_list args;
    va_start(args, format);
    const int length = std::vsnprintf(line, sizeof(line), format, args);
    va_end(args);
    if (length > 0) out.append(line, std::min(static_cast<std::size_t>(length), sizeof(line) - 1));
}

BOOL CALLBACK listControl(HWND control, LPARAM data) {
    auto* listing = reinterpret_cast<Listing*>(data);
    const HWND parent = listing->window;
    if (GetParent(control) != parent) return TRUE;
    RECT r{};
    GetWindowRect(control, &r);
    MapWindowPoints(HWND_DESKTOP, parent, reinterpret_cast<POINT*>(&r), 2);
    append(listing->text, "control %d %s %d %ld,%ld,%ld,%ld ", GetDlgCtrlID(control), toUtf8(classOf(control)).c_str(),
           IsWindowVisible(control) ? 1 : 0, r.left, r.top, r.right, r.bottom);
    listing->text += toUtf8(textOf(control)) + "\n";
    if (listing->measure && classOf(control) == L"Static") {
        append(listing->text, "width %d %d\n", GetDlgCtrlID(control),
               textWidth(*listing->measure, GetDpiForWindow(parent), textOf(control)));
    }
    return TRUE;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    // Rectangles as the window's own process sees them: a DPI-unaware probe
    // would get them scaled back to 96 DPI.
    SetProcessDpiAwarenessContext(DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2);
    if (argc == 3 && std::wstring(argv[1]) == L"--manifest") {
        const wchar_t* const older = L"http://schemas.microsoft.com/SMI/2005/WindowsSettings";
        const wchar_t* const newer = L"http://schemas.microsoft.com/SMI/2016/WindowsSettings";
        std::printf("dpiAware %s\n", toUtf8(manifestSetting(argv[2], older, L"dpiAware")).c_str());
        std::printf("dpiAwareness %s\n", toUtf8(manifestSetting(argv[2], newer, L"dpiAwareness")).c_str());
        return 0;
    }
    Measure measure;
    bool measuring = false;
    int arg = 1;
    for (; arg + 1 < argc; ++arg) {
        const std::wstring option = argv[arg];
        if (option == L"--font" && arg + 2 < argc) {
            measure.points = _wtoi(argv[arg + 1]);
            measure.face = argv[arg + 2];
            measuring = true;
            arg += 2;
        } else if (option == L"--measure") {
            measure.texts.push_back(argv[++arg]);
        } else {
            break;
        }
    }
    if (arg + 1 != argc || (!measure.texts.empty() && !measuring)) {
        std::fprintf(stderr, "usage: window_probe [--font POINTS FACE [--measure TEXT]...] CAPTION\n"
                             "       window_probe --manifest PROGRAM\n");
        return 2;
    }
    Search search{argv[arg], {}};
    EnumWindows(&collectTopLevel, reinterpret_cast<LPARAM>(&search));
    int listed = 0;
    for (HWND window : search.found) {
        Listing listing{window, measuring ? &measure : nullptr, {}};
        listing.text = "window " + toUtf8(search.caption) + "\n";
        const UINT dpi = GetDpiForWindow(window);
        if (measuring) {
            RECT client{};
            GetClientRect(window, &client);
            append(listing.text, "dpi %u %ldx%ld\n", dpi, client.right, client.bottom);
        }
        EnumChildWindows(window, &listControl, reinterpret_cast<LPARAM>(&listing));
        for (const std::wstring& text : measure.texts) {
            append(listing.text, "measure %d ", textWidth(measure, dpi, text));
            listing.text += toUtf8(text) + "\n";
        }
        if (!IsWindowVisible(window)) continue;  // false too for a window that is gone
        std::fputs(listing.text.c_str(), stdout);
        ++listed;
    }
    std::fflush(stdout);
    return listed == 0 ? 1 : 0;
}
