// The window side of the front end's dialogs, as the portable dialog logic
// sees it: a handler that receives the dialog's messages and a window it
// drives. Windows puts real dialogs (DialogBoxParamW) behind it; tests put an
// in-process window with a real message queue behind it
// (tests/support/fake_windows.h).
#pragma once

#include <cstdint>
#include <string>

#include "app/resource_ids.h"

namespace platform {

// A rectangle in pixels, right and bottom exclusive (a Win32 RECT).
struct Rect {
    int left = 0;
    int top = 0;
    int right = 0;
    int bottom = 0;

    int width() const { return right - left; }
    int height() const { return bottom - top; }
    bool operator==(const Rect&) const = default;
};

// One open dialog. Every call but postMessage belongs to the thread that runs
// the dialog's modal loop.
class DialogWindow {
public:
    virtual ~DialogWindow() = default;

    // SetWindowTextW on the dialog.
    virtual void setCaption(const std::wstring& text) = 0;
    // SetDlgItemTextW.
    virtual void setControlText(int controlId, const std::wstring& text) = 0;
    // ShowWindow on a control: SW_RESTORE when shown, SW_HIDE otherwise.
    virtual void showControl(int controlId, bool shown) = 0;
    // GetWindowRect of the dialog, converted with ScreenToClient of the dialog
    // (so left and top are usually negative: the frame).
    virtual Rect windowRectInClient() const = 0;
    // GetWindowRect of a control, converted with ScreenToClient of the dialog.
    virtual Rect controlRectInClient(int controlId) const = 0;
    // SetWindowPos(control, NULL, x, y, width, height, 0).
    virtual void moveControl(int controlId, int x, int y, int width, int height) = 0;

    // Progress bar control: PBM_SETRANGE (low, high), PBM_SETSTEP, PBM_SETPOS,
    // each sent with SendMessageW.
    virtual void setProgressRange(int controlId, int low, int high) = 0;
    virtual void setProgressStep(int controlId, int step) = 0;
    virtual void setProgressPos(int controlId, int position) = 0;

    // LoadIconW of the resource, then WM_SETICON with ICON_BIG and with
    // ICON_SMALL; the same icon is painted while the window is minimised.
    virtual void setIcon(int iconId) = 0;
    // CenterWindow() with no explicit owner, then ShowWindow(SW_SHOW).
    virtual void centerAndShow() = 0;
    // EnableMenuItem(GetSystemMenu(FALSE), SC_CLOSE, MF_BYCOMMAND | MF_ENABLED).
    virtual void enableCloseMenuItem() = 0;

    // PostMessageW(window, message, wParam, 0); callable from any thread.
    // False when the message was not queued: the caller still owns whatever
    // wParam points to.
    virtual bool postMessage(std::uint32_t message, std::uintptr_t wParam) = 0;
    // EndDialog(result): the modal loop returns `result` once the current
    // message has been handled.
    virtual void endDialog(int result) = 0;
};

// What a dialog does with its messages; all calls come on the thread that
// runs the dialog's modal loop.
class DialogHandler {
public:
    virtual ~DialogHandler() = default;

    // WM_INITDIALOG. The window stays valid until onDestroyed(). An exception
    // thrown here (or by any other handler) ends the dialog and leaves
    // runModalDialog once the window is gone.
    virtual bool onInitDialog(DialogWindow& window) = 0;
    // WM_COMMAND with kIdOk (Enter, the OK button) or kIdCancel (Esc, the
    // cancel button).
    virtual void onCommand(int commandId) = 0;
    // WM_CLOSE (close box, Alt+F4). A dialog's default handling turns it into
    // the kIdCancel command.
    virtual void onClose() { onCommand(kIdCancel); }
    // A message posted with postMessage (WM_APP_*).
    virtual void onAppMessage(std::uint32_t message, std::uintptr_t wParam) {
        (void)message;
        (void)wParam;
    }
    // A posted message still queued when the window goes away: it will never
    // be delivered, so whatever it carries is freed here (on Windows: the
    // WM_APP range drained with PeekMessageW in WM_DESTROY).
    virtual void onUndeliveredMessage(std::uint32_t message, std::uintptr_t wParam) {
        (void)message;
        (void)wParam;
    }
    // The shell has made (or, after a restart of its own, made again) the
    // window's taskbar button: the registered "TaskbarButtonCreated"
    // message, which a window nobody owns hears even when it runs elevated.
    virtual void onTaskbarButtonCreated() {}
    // WM_NCDESTROY: the window is gone.
    virtual void onDestroyed() {}
};

}  // namespace platform
