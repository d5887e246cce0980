// Modal Win32 dialogs forwarding their messages to the portable dialog logic.
#include "app/win32/win32_dialog.h"

#include <commctrl.h>

namespace platform {

namespace {

// Centres a top-level window over its visible owner, or in the work area of
// its monitor when it has none, keeping it inside that work area.
void centreWindow(HWND hwnd) {
    RECT dialog{};
    GetWindowRect(hwnd, &dialog);
    MONITORINFO monitor{};
    monitor.cbSize = sizeof(monitor);
    GetMonitorInfoW(MonitorFromWindow(hwnd, MONITOR_DEFAULTTONEAREST), &monitor);
    const RECT work = monitor.rcWork;
    RECT area = work;
    const HWND owner = GetWindow(hwnd, GW_OWNER);
    if (owner && IsWindowVisible(owner) && !IsIconic(owner)) GetWindowRect(owner, &area);
    const int width = dialog.right - dialog.left;
    const int height = dialog.bottom - dialog.top;
    int left = (area.left + area.right) / 2 - width / 2;
    int top = (area.top + area.bottom) / 2 - height / 2;
    if (left + width > work.right) left = work.right - width;
    if (left < work.left) left = work.left;
    if (top + height > work.bottom) top = work.bottom - height;
    if (top < work.top) top = work.top;
    SetWindowPos(hwnd, nullptr, left, top, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

// The message by which the shell says it made a window's taskbar button.
UINT taskbarButtonCreatedMessage() {
    static const UINT message = RegisterWindowMessageW(L"TaskbarButtonCreated");
    return message;
}

// A system metric at the DPI of the window's monitor. The program declares
// itself per-monitor aware, where GetSystemMetrics answers for the DPI the
// session started with; the per-DPI functions came with Windows 10 1607 and
// are looked up, as older systems have one DPI for every window anyway.
int metricForWindow(HWND hwnd, int index) {
    using DpiForWindowFn = UINT(WINAPI*)(HWND);
    using MetricsForDpiFn = int(WINAPI*)(int, UINT);
    const HMODULE user32 = GetModuleHandleW(L"user32.dll");
    const FARPROC dpiForWindow = GetProcAddress(user32, "GetDpiForWindow");
    const FARPROC metricsForDpi = GetProcAddress(user32, "GetSystemMetricsForDpi");
    if (!dpiForWindow || !metricsForDpi) return GetSystemMetrics(index);
    const UINT dpi = reinterpret_cast<DpiForWindowFn>(reinterpret_cast<void (*)()>(dpiForWindow))(hwnd);
    return reinterpret_cast<MetricsForDpiFn>(reinterpret_cast<void (*)()>(metricsForDpi))(index, dpi);
}

Rect rectInClientOf(HWND dialog, HWND window) {
    RECT r{};
    if (!window || !GetWindowRect(window, &r)) return {};
    // Both corners at once, as ScreenToClient would do them one by one.
    MapWindowPoints(HWND_DESKTOP, dialog, reinterpret_cast<POINT*>(&r), 2);
    return Rect{r.left, r.top, r.right, r.bottom};
}

}  // namespace

Win32DialogWindow::Win32DialogWindow(DialogHandler& handler) : m_handler(handler) {}

void Win32DialogWindow::setCaption(const std::wstring& text) { SetWindowTextW(handle(), text.c_str()); }

void Win32DialogWindow::setControlText(int controlId, const std::wstring& text) {
    SetDlgItemTextW(handle(), controlId, text.c_str());
}

void Win32DialogWindow::showControl(int controlId, bool shown) {
    ShowWindow(GetDlgItem(handle(), controlId), shown ? SW_RESTORE : SW_HIDE);
}

Rect Win32DialogWindow::windowRectInClient() const { return rectInClientOf(handle(), handle()); }

Rect Win32DialogWindow::controlRectInClient(int controlId) const {
    return rectInClientOf(handle(), GetDlgItem(handle(), controlId));
}

void Win32DialogWindow::moveControl(int controlId, int x, int y, int width, int height) {
    SetWindowPos(GetDlgItem(handle(), controlId), nullptr, x, y, width, height, 0);
}

void Win32DialogWindow::setProgressRange(int controlId, int low, int high) {
    SendMessageW(GetDlgItem(handle(), controlId), PBM_SETRANGE, 0, MAKELPARAM(low, high));
}

void Win32DialogWindow::setProgressStep(int controlId, int step) {
    SendMessageW(GetDlgItem(handle(), controlId), PBM_SETSTEP, static_cast<WPARAM>(step), 0);
}

void Win32DialogWindow::setProgressPos(int controlId, int position) {
    SendMessageW(GetDlgItem(handle(), controlId), PBM_SETPOS, static_cast<WPARAM>(position), 0);
}

void Win32DialogWindow::setIcon(int iconId) {
    // A shared icon from the program's resources: never destroyed by us.
    m_icon = LoadIconW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(iconId));
    SendMessageW(handle(), WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_icon));
    SendMessageW(handle(), WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(m_icon));
}

void Win32DialogWindow::centerAndShow() {
    centreWindow(handle());
    ShowWindow(handle(), SW_SHOW);
}

void Win32DialogWindow::enableCloseMenuItem() {
    EnableMenuItem(GetSystemMenu(handle(), FALSE), SC_CLOSE, MF_BYCOMMAND | MF_ENABLED);
}

bool Win32DialogWindow::postMessage(std::uint32_t message, std::uintptr_t wParam) {
    const HWND hwnd = handle();
    // A null window would post to the calling thread's own queue instead.
    if (!hwnd) return false;
    return PostMessageW(hwnd, message, static_cast<WPARAM>(wParam), 0) != FALSE;
}

void Win32DialogWindow::endDialog(int result) { EndDialog(handle(), result); }

bool Win32DialogWindow::paintMinimisedIcon() {
    const HWND hwnd = handle();
    if (!IsIconic(hwnd) || !m_icon) return false;
    PAINTSTRUCT paint{};
    const HDC dc = BeginPaint(hwnd, &paint);
    SendMessageW(hwnd, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
    RECT client{};
    GetClientRect(hwnd, &client);
    const int width = metricForWindow(hwnd, SM_CXICON);
    const int height = metricForWindow(hwnd, SM_CYICON);
    const int x = (client.right - client.left - width + 1) / 2;
    const int y = (client.bottom - client.top - height + 1) / 2;
    DrawIconEx(dc, x, y, m_icon, width, height, 0, nullptr, DI_NORMAL);
    EndPaint(hwnd, &paint);
    return true;
}

void Win32DialogWindow::drainPostedMessages() {
    MSG msg;
    while (PeekMessageW(&msg, handle(), WM_APP_FIRST, WM_APP_LAST, PM_REMOVE)) {
        m_handler.onUndeliveredMessage(msg.message, static_cast<std::uintptr_t>(msg.wParam));
    }
}

void Win32DialogWindow::recordFailure(std::exception_ptr failure) {
    if (!m_failure) m_failure = failure;
    if (const HWND hwnd = handle()) EndDialog(hwnd, -1);
}

INT_PTR Win32DialogWindow::handleMessage(UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
    case WM_INITDIALOG: {
        // An elevated window hears no message from the user's shell unless
        // it lets it through. This one only ever makes the window ask for its
        // button again, so whoever sends it can do no more than that.
        if (!GetWindow(handle(), GW_OWNER) && taskbarButtonCreatedMessage())
            ChangeWindowMessageFilterEx(handle(), taskbarButtonCreatedMessage(), MSGFLT_ALLOW, nullptr);
        RECT before{};
        GetWindowRect(handle(), &before);
        const bool focusDefault = m_handler.onInitDialog(*this);
        // Like the dialog framework the templates were made for: a dialog that
        // did not place itself during initialisation opens centred.
        RECT after{};
        GetWindowRect(handle(), &after);
        if (EqualRect(&before, &after)) centreWindow(handle());
        return focusDefault ? TRUE : FALSE;
    }
    case WM_COMMAND: {
        const int id = LOWORD(wParam);
        if (id != IDOK && id != IDCANCEL) return FALSE;
        m_handler.onCommand(id);
        return TRUE;
    }
    case WM_CLOSE:
        m_handler.onClose();
        return TRUE;
    case WM_APP_PROGRESS:
    case WM_APP_STATUS_TEXT:
    case WM_APP_FINISH:
    case WM_APP_LAUNCHED:
    case WM_APP_FIGURES:
    case WM_APP_NOTICE_SHOWN:
        m_handler.onAppMessage(message, static_cast<std::uintptr_t>(wParam));
        SetWindowLongPtrW(handle(), DWLP_MSGRESULT, 0);
        return TRUE;
    case WM_PAINT:
        return paintMinimisedIcon() ? TRUE : FALSE;
    case WM_QUERYDRAGICON:
        // One of the few messages whose result a dialog procedure returns directly.
        return reinterpret_cast<INT_PTR>(m_icon);
    case WM_DESTROY:
        drainPostedMessages();
        return FALSE;
    case WM_NCDESTROY: {
        drainPostedMessages();
        const HWND hwnd = handle();
        m_hwnd.store(nullptr);
        SetWindowLongPtrW(hwnd, DWLP_USER, 0);
        m_handler.onDestroyed();
        return FALSE;
    }
    default:
        if (message != 0 && message == taskbarButtonCreatedMessage()) {
            m_handler.onTaskbarButtonCreated();
            return TRUE;
        }
        return FALSE;
    }
}

INT_PTR CALLBACK Win32DialogWindow::dialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    Win32DialogWindow* self = nullptr;
    if (message == WM_INITDIALOG) {
        self = reinterpret_cast<Win32DialogWindow*>(lParam);
        self->m_hwnd.store(hwnd);
        SetWindowLongPtrW(hwnd, DWLP_USER, reinterpret_cast<LONG_PTR>(self));
    } else {
        self = reinterpret_cast<Win32DialogWindow*>(GetWindowLongPtrW(hwnd, DWLP_USER));
    }
    // Messages before WM_INITDIALOG (WM_SETFONT and the like) get the default handling.
    if (!self) return FALSE;
    // No exception may unwind through the system's window procedure: keep it
    // for runWin32ModalDialog and end the dialog.
    try {
        return self->handleMessage(message, wParam, lParam);
    } catch (...) {
        self->recordFailure(std::current_exception());
        return message == WM_INITDIALOG ? FALSE : TRUE;
    }
}

int runWin32ModalDialog(int templateId, DialogHandler& handler, DialogWindow* owner) {
    HWND ownerWindow = nullptr;
    if (auto* win32Owner = dynamic_cast<Win32DialogWindow*>(owner)) ownerWindow = win32Owner->handle();
    Win32DialogWindow window(handler);
    const INT_PTR result = DialogBoxParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(templateId), ownerWindow,
                                           &Win32DialogWindow::dialogProc, reinterpret_cast<LPARAM>(&window));
    if (window.failure()) std::rethrow_exception(window.failure());
    return static_cast<int>(result);
}

}  // namespace platform
