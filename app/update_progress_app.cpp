#include "app/update_progress_app.h"

#include <exception>
#include <stdexcept>

#include "app/update_progress_dlg.h"
#include "app/worker_steps.h"
#include "downloader/download_info.h"
#include "platform/text.h"

CUpdateProgressApp::CUpdateProgressApp(platform::OsServices& os) : m_os(os) {}

namespace {

// How long a second copy looks for the window of a first one that is still
// starting up.
constexpr int kActivationWaitMs = 10000;

}  // namespace

bool CUpdateProgressApp::InitInstance() {
    // Before any file is read or written: a second copy would replace the
    // first one's state and fail on the destination the first one holds.
    if (!claimRunningCopy()) return false;
    // Anything but S_OK (S_FALSE included) ends the start silently.
    if (!m_os.initializeCom()) return true;
    m_os.initializeCommonControls();
    try {
        // A window that cannot be created is no success: the caller learns it.
        if (runMainDialog() == -1) m_exitCode = 1;
    } catch (const std::runtime_error& error) {
        // Fixed English caption: the start-up failure box is never translated.
        m_os.messageBox(platform::fromUtf8(error.what()), L"Error!");
    }
    return false;
}

bool CUpdateProgressApp::claimRunningCopy() {
    std::wstring statePath;
    try {
        statePath = resumeStatePath(m_os.downloadFolder(), platform::fromUtf8(DownloadInfo().fileTag()));
    } catch (const std::exception&) {
        // No download folder, no state to guard; the worker reports it.
        return true;
    }
    const std::wstring name = runningCopyName(statePath);
    // The lock, not the name, decides: any process of the user may make the
    // name first. A lock that cannot be made for another reason keeps
    // nobody from running (the worker meets the same folder, and the
    // installer file is held against a second writer).
    if (m_stateLock.openLocked(resumeStateLockPath(statePath)) == platform::File::Lock::Held) {
        m_os.activateRunningCopy(name, kActivationWaitMs);
        return false;
    }
    // Only lets later copies find our window; a name somebody else holds
    // stops nothing.
    m_os.claimRunningCopy(name);
    return true;
}

int CUpdateProgressApp::runMainDialog() {
    CUpdateProgressDlg dialog(m_os);
    return dialog.DoModal();
}
