// Win32 dialogs behind the front end's dialog seam: a modal dialog made from a
// template resource of the program, whose messages go to a DialogHandler, and
// the window operations the handler asks of it.
#pragma once

#include <windows.h>

#include <atomic>
#include <exception>

#include "app/dialog_window.h"

namespace platform {

class Win32DialogWindow final : public DialogWindow {
public:
    explicit Win32DialogWindow(DialogHandler& handler);
    Win32DialogWindow(const Win32DialogWindow&) = delete;
    Win32DialogWindow& operator=(const Win32DialogWindow&) = delete;

    // Null before WM_INITDIALOG and after WM_NCDESTROY.
    HWND handle() const { return m_hwnd.load(); }
    // The first exception a handler threw; the dialog was ended because of it.
    std::exception_ptr failure() const { return m_failure; }

    void setCaption(const std::wstring& text) override;
    void setControlText(int controlId, const std::wstring& text) override;
    void showControl(int controlId, bool shown) override;
    Rect windowRectInClient() const override;
    Rect controlRectInClient(int controlId) const override;
    void moveControl(int controlId, int x, int y, int width, int height) override;
    void setProgressRange(int controlId, int low, int high) override;
    void setProgressStep(int controlId, int step) override;
    void setProgressPos(int controlId, int position) override;
    void setIcon(int iconId) override;
    void centerAndShow() override;
    void enableCloseMenuItem() override;
    bool postMessage(std::uint32_t message, std::uintptr_t wParam) override;
    void endDialog(int result) override;

    static INT_PTR CALLBACK dialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

private:
    INT_PTR handleMessage(UINT message, WPARAM wParam, LPARAM lParam);
    bool paintMinimisedIcon();
    // Hands posted messages that will never be delivered back to the handler.
    void drainPostedMessages();
    void recordFailure(std::exception_ptr failure);

    DialogHandler& m_handler;
    // Written on the dialog's thread, read by postMessage on any thread.
    std::atomic<HWND> m_hwnd{nullptr};
    HICON m_icon = nullptr;
    std::exception_ptr m_failure;
};

// DialogBoxParamW with the template resource `templateId` of the program,
// owned by `owner` (a Win32DialogWindow, or none). Returns the value given to
// EndDialog, -1 when the dialog could not be created; rethrows what a handler
// threw once the window is gone.
int runWin32ModalDialog(int templateId, DialogHandler& handler, DialogWindow* owner);

}  // namespace platform
