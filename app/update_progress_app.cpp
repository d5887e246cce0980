#include "app/update_progress_app.h"

#include <stdexcept>

#include "app/update_progress_dlg.h"
#include "platform/text.h"

CUpdateProgressApp::CUpdateProgressApp(platform::OsServices& os) : m_os(os) {}

bool CUpdateProgressApp::InitInstance() {
    // Anything but S_OK (S_FALSE included) ends the start silently.
    if (!m_os.initializeCom()) return true;
    m_os.initializeCommonControls();
    try {
        runMainDialog();
    } catch (const std::runtime_error& error) {
        // Fixed English caption: the start-up failure box is never translated.
        m_os.messageBox(platform::fromUtf8(error.what()), L"Error!");
    }
    return false;
}

void CUpdateProgressApp::runMainDialog() {
    CUpdateProgressDlg dialog(m_os);
    dialog.DoModal();
}
