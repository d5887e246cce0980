// The small modal box that serves both the close confirmation and the error
// notice: a caption, a message and one or two buttons whose texts are set at
// run time (a box without a cancel text shows only its OK button, centred).
#pragma once

#include <string>

#include "app/dialog_window.h"

// The OK button's new left edge when it is centred alone: half the dialog's
// width from the dialog's left edge, less half the button's width, rounded
// half away from zero. Both rectangles are in the dialog's client coordinates.
int centredButtonLeft(const platform::Rect& dialog, const platform::Rect& button);

class CMessageBoxDialog : public platform::DialogHandler {
public:
    std::wstring m_cancelText;
    std::wstring m_okText;
    std::wstring m_caption;
    std::wstring m_message;

    // Puts the texts and the button layout on the window; run when the box
    // opens and again when it is confirmed.
    void DoDataExchange();

    bool onInitDialog(platform::DialogWindow& window) override;
    void onCommand(int commandId) override;

private:
    platform::DialogWindow* m_window = nullptr;
};
