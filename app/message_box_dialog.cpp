#include "app/message_box_dialog.h"

#include <cmath>

using platform::kIdCancel;
using platform::kIdOk;

int centredButtonLeft(const platform::Rect& dialog, const platform::Rect& button) {
    return static_cast<int>(std::lround(dialog.width() * 0.5 + dialog.left - button.width() * 0.5));
}

void CMessageBoxDialog::DoDataExchange() {
    m_window->showControl(kIdOk, !m_okText.empty());
    m_window->setControlText(kIdOk, m_okText);
    if (m_cancelText.empty()) {
        const platform::Rect button = m_window->controlRectInClient(kIdOk);
        m_window->showControl(kIdCancel, false);
        const platform::Rect dialog = m_window->windowRectInClient();
        m_window->moveControl(kIdOk, centredButtonLeft(dialog, button), button.top, button.width(), button.height());
    } else {
        m_window->showControl(kIdCancel, true);
    }
    m_window->setControlText(kIdCancel, m_cancelText);
    m_window->setControlText(platform::kMessageTextId, m_message);
    m_window->setCaption(m_caption);
}

bool CMessageBoxDialog::onInitDialog(platform::DialogWindow& window) {
    m_window = &window;
    DoDataExchange();
    return true;
}

void CMessageBoxDialog::onCommand(int commandId) {
    // Confirming runs the data exchange again before the box ends.
    if (commandId == kIdOk) DoDataExchange();
    m_window->endDialog(commandId);
}
