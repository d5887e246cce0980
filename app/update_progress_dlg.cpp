#include "app/update_progress_dlg.h"

#include <chrono>
#include <memory>
#include <stdexcept>
#include <thread>
#include <utility>

#include <boost/format.hpp>

#include "app/installer_launch.h"
#include "app/message_box_dialog.h"
#include "app/proxy_discovery.h"
#include "app/ui_text.h"
#include "config/catalog.h"
#include "config/payload_seal.h"
#include "platform/file.h"

using platform::kIdCancel;
using platform::kIdOk;

namespace {

// The one place where what a message carries turns into its parameter and
// back: posting hands the object over, taking it back owns it again.
template <class T>
std::uintptr_t handOver(std::unique_ptr<T> object) {
    return reinterpret_cast<std::uintptr_t>(object.release());
}

template <class T>
std::unique_ptr<T> takeBack(std::uintptr_t wParam) {
    return std::unique_ptr<T>(reinterpret_cast<T*>(wParam));
}

// Frees what a posted message carries.
void freeMessage(std::uint32_t message, std::uintptr_t wParam) {
    if (message == platform::WM_APP_PROGRESS) takeBack<ProgressReport>(wParam);
    if (message == platform::WM_APP_STATUS_TEXT || message == platform::WM_APP_LAUNCHED)
        takeBack<std::wstring>(wParam);
    if (message == platform::WM_APP_FIGURES) takeBack<FiguresReport>(wParam);
}

}  // namespace

CUpdateProgressDlg::CUpdateProgressDlg(platform::OsServices& os, ProgressDialogSettings settings)
    : m_os(os), m_settings(std::move(settings)) {}

CUpdateProgressDlg::~CUpdateProgressDlg() {
    // Every way out of the dialog has joined already; this only guards a
    // dialog whose modal loop was cut short.
    m_stopRequested = true;
    joinWorker();
    cancelLaunch();
}

int CUpdateProgressDlg::DoModal() { return m_os.runModalDialog(platform::kProgressDialogTemplate, *this, nullptr); }

std::string CUpdateProgressDlg::downloadAddress() const {
    return m_settings.downloadAddress.empty() ? catalogDownloadAddress(m_productIndex) : m_settings.downloadAddress;
}

void CUpdateProgressDlg::DoDataExchange() {
    // The three controls (1002, 1001, 1000) are reached through the window by id.
}

bool CUpdateProgressDlg::OnInitDialog() {
    DoDataExchange();

    m_productId = lowerCaseProductId(m_settings.productId);
    m_payload = readProgramPayload();
    const PayloadSettings settings = takeSettings(m_payload);
    m_vid = settings.vid;
    m_partnerId = settings.partnerId;
    m_contentType = settings.contentType;
    m_contentAddress = settings.contentAddress;
    m_offerUrl = settings.offerUrl;
    m_silentMode = settings.silentMode;

    m_productIndex = catalogIndexOfId(m_productId);
    if (m_productIndex == 0) throw std::runtime_error("Invalid installer!");

    m_interfaceThread = std::this_thread::get_id();
    m_window->setCaption((boost::wformat(uiText(kTextInstallationCaption)) % catalogDisplayName(m_productIndex)).str());
    m_window->setIcon(platform::kMainIconId);
    m_stopRequested = false;
    m_window->centerAndShow();
    m_os.publishRunningWindow(*m_window);
    m_window->enableCloseMenuItem();
    m_window->setControlText(platform::kProgressLineId, uiText(kTextPreparing));
    m_window->setProgressRange(platform::kProgressBarId, 0, 100);
    m_window->setProgressStep(platform::kProgressBarId, 1);
    m_window->setProgressPos(platform::kProgressBarId, 0);
    m_workerThread = std::thread(&CUpdateProgressDlg::workerThread, this);
    return true;
}

PayloadMap CUpdateProgressDlg::readProgramPayload() const {
    const std::string tail = readPayloadTail(m_os.ownExecutablePath());
    if (!m_settings.payloadKey) return parsePayload(tail);
    SealCheck check = checkSealedPayload(tail, m_productId, *m_settings.payloadKey);
    if (check.verdict == SealCheck::sealed) return std::move(check.payload);
    // Refused like an unknown product, before anything is asked or started;
    // a system that could not check at all says so.
    if (check.verdict == SealCheck::uncheckable)
        throw std::runtime_error("Invalid installer! The seal could not be checked (" + check.detail + ").");
    throw std::runtime_error("Invalid installer!");
}

void CUpdateProgressDlg::OnStatusText(std::unique_ptr<std::wstring> text) {
    m_window->setControlText(platform::kStatusLineId, *text);
}

void CUpdateProgressDlg::OnProgress(std::unique_ptr<ProgressReport> owned) {
    m_window->setProgressPos(platform::kProgressBarId, owned->percent);
    if (m_downloader.downloadInfo().isComplete()) {
        // The user is being asked whether to stop: the answer decides.
        if (m_confirmingClose) {
            m_completionPending = true;
            return;
        }
        finishCompletedDownload();
        return;
    }
    m_window->setControlText(platform::kProgressLineId, owned->text);
}

void CUpdateProgressDlg::OnFigures(std::unique_ptr<FiguresReport> report) {
    // Reports still queued when the last byte was in would show less.
    if (m_installerStarted) return;
    m_window->setControlText(platform::kFiguresLineId, report->line);
    m_taskbar.show(report->taskbar, report->done, report->total);
}

void CUpdateProgressDlg::OnNoticeShown() { m_taskbar.show(TaskbarState::error); }

void CUpdateProgressDlg::OnTaskbarButtonCreated() { m_taskbar.attach(m_os.taskbarButton(*m_window)); }

void CUpdateProgressDlg::finishCompletedDownload() {
    // A later completion report finds the start under way (or done).
    if (m_installerStarted) return;
    if (!stopWorker()) return;
    const std::int64_t size = m_downloader.downloadInfo().fileSize();
    m_window->setControlText(platform::kFiguresLineId, ProgressFigures::completeLine(size, russianInterface()));
    m_taskbar.show(TaskbarState::normal, size, size);
    if (!launchDownloadedInstaller()) endDialog(1);
}

void CUpdateProgressDlg::OnFinish() {
    m_stopRequested = true;
    joinWorker();
    endDialog(1);
}

bool CUpdateProgressDlg::launchDownloadedInstaller() {
    m_installerStarted = true;
    // The worker has been joined, and with it the download thread, so the
    // file is closed; a run that could not keep every part is not started.
    const DownloadInfo& info = m_downloader.downloadInfo();
    if (!info.isValid() || !info.isComplete()) {
        showErrorMessage(uiText(kTextInternalError));
        return false;
    }
    // Held read-only since the last byte was written, so nobody can have
    // changed it; the hold lasts until the system has started it (or the
    // tries are over).
    platform::File held = m_downloader.takeCompletedFile();
    const InstallerSettings settings{m_partnerId, m_vid, m_contentType, m_contentAddress, m_offerUrl, m_silentMode};
    // Hashing the file, asking a revocation server and waiting out a scanner
    // all take time the window must not freeze for.
    m_launchCancelled = false;
    m_launcherThread = std::thread(&CUpdateProgressDlg::launcherThread, this, std::move(held), info.filePath(),
                                   installerParameters(settings, m_payload));
    return true;
}

void CUpdateProgressDlg::launcherThread(platform::File held, std::wstring installerFile, std::wstring parameters) {
    std::wstring notice;
    try {
        notice = checkAndStart(held, installerFile, parameters);
    } catch (...) {
        notice = uiText(kTextInternalError);
    }
    held.close();
    // A cancelling dialog is waiting for this thread and shows nothing more.
    if (m_launchCancelled) return;
    const std::uintptr_t wParam = handOver(std::make_unique<std::wstring>(std::move(notice)));
    if (!m_window->postMessage(platform::WM_APP_LAUNCHED, wParam)) freeMessage(platform::WM_APP_LAUNCHED, wParam);
}

std::wstring CUpdateProgressDlg::checkAndStart(const platform::File& held, const std::wstring& installerFile,
                                               const std::wstring& parameters) {
    // A file that could not be held is not started.
    if (!held.isOpen()) return launchErrorMessage(platform::kErrorSharingViolation);
    // Whichever run wrote it, the file is started only while it hashes,
    // read through the hold, to what was recorded when the download was
    // finished: one swapped since (of the same size, say) is not, and the
    // next start fetches afresh.
    if (!m_downloader.completedFileMatchesRecord(held)) return untrustedInstallerMessage(kFileDigestMismatch);
    // Only the publisher's installer is started; the signature is checked on
    // the held bytes, the very ones the system starts.
    if (const std::int32_t trust = verifyInstallerPublisher(m_os, held, installerFile, productPublisher());
        trust != platform::kErrorSuccess)
        return untrustedInstallerMessage(trust);
    const std::int32_t code =
        launchInstallerRetrying(m_os, installerFile, parameters, m_settings.launchRetry, m_launchCancelled);
    return code == platform::kErrorSuccess ? std::wstring() : launchErrorMessage(code);
}

void CUpdateProgressDlg::cancelLaunch() {
    m_launchCancelled = true;
    if (m_launcherThread.joinable()) m_launcherThread.join();
}

void CUpdateProgressDlg::OnLaunched(std::unique_ptr<std::wstring> notice) {
    // The answer to an open close confirmation decides what becomes of it.
    if (m_confirmingClose) {
        m_launchOutcome = std::move(notice);
        return;
    }
    finishLaunch(*notice);
}

void CUpdateProgressDlg::finishLaunch(const std::wstring& notice) {
    if (m_launcherThread.joinable()) m_launcherThread.join();
    if (notice.empty()) m_taskbar.show(TaskbarState::none);
    else showErrorMessage(notice);
    endDialog(1);
}

void CUpdateProgressDlg::OnClose() {
    CMessageBoxDialog confirmation;
    confirmation.m_caption = uiText(kTextCloseCaption);
    confirmation.m_okText = uiText(kTextCloseYes);
    confirmation.m_cancelText = uiText(kTextCloseNo);
    confirmation.m_message = uiText(kTextCloseQuestion);
    m_confirmingClose = true;
    const bool confirmed = m_os.runModalDialog(platform::kMessageBoxTemplate, confirmation, m_window) == kIdOk;
    m_confirmingClose = false;
    const bool completed = std::exchange(m_completionPending, false);
    const std::unique_ptr<std::wstring> launched = std::move(m_launchOutcome);
    if (m_ended) return;
    if (!confirmed) {
        if (launched) finishLaunch(*launched);
        else if (completed) finishCompletedDownload();
        return;
    }
    // A "Yes" after completion starts nothing (a start still being tried is
    // given up); the completed file and its state stay for the next start.
    if (!stopWorker()) return;
    // The default close handling of a dialog: it ends with IDCANCEL.
    endDialog(kIdCancel);
}

void CUpdateProgressDlg::OnOK() {
    if (!stopWorker()) return;
    endDialog(kIdOk);
}

void CUpdateProgressDlg::OnCancel() {
    if (!stopWorker()) return;
    endDialog(kIdCancel);
}

void CUpdateProgressDlg::endDialog(int result) {
    // Whatever ends the dialog ends the installer's tries first.
    cancelLaunch();
    m_ended = true;
    m_window->endDialog(result);
}

int CUpdateProgressDlg::showErrorMessage(const std::wstring& message) {
    // The taskbar button belongs to the window's thread: a notice from the
    // worker asks that thread to show it.
    if (std::this_thread::get_id() == m_interfaceThread)
        OnNoticeShown();
    else
        postToDialog(platform::WM_APP_NOTICE_SHOWN, 0);
    CMessageBoxDialog notice;
    notice.m_caption = uiText(kTextErrorCaption);
    notice.m_okText = uiText(kTextErrorOk);
    notice.m_cancelText = uiText(kTextErrorCancel);
    notice.m_message = joinSentences(message, uiText(kTextClosingNotice));
    return m_os.runModalDialog(platform::kMessageBoxTemplate, notice, m_window);
}

void CUpdateProgressDlg::PostNcDestroy() {
    // The launcher posts to this window: it must be done before the window goes.
    cancelLaunch();
    m_taskbar.detach();
    if (hasLanguageRecord()) releaseLanguageRecord();
}

bool CUpdateProgressDlg::stopWorker() {
    {
        const std::lock_guard<std::mutex> lock(m_noticeLock);
        m_stopRequested = true;
        if (m_noticeCommitted) return false;
    }
    joinWorker();
    return true;
}

void CUpdateProgressDlg::joinWorker() {
    if (m_workerThread.joinable() && m_workerThread.get_id() != std::this_thread::get_id()) m_workerThread.join();
}

bool CUpdateProgressDlg::reportFailure(const std::wstring& message) {
    {
        // A stopping dialog waits in join() and cannot serve a box it owns.
        const std::lock_guard<std::mutex> lock(m_noticeLock);
        if (m_stopRequested) return false;
        m_noticeCommitted = true;
    }
    showErrorMessage(message);
    postFinish();
    return true;
}

void CUpdateProgressDlg::postToDialog(std::uint32_t message, std::uintptr_t wParam) {
    // Under the lock that orders a stop request, so no post slips in after it.
    const std::lock_guard<std::mutex> lock(m_noticeLock);
    const bool afterStop = m_stopRequested && !m_noticeCommitted;
    if (afterStop || !m_window->postMessage(message, wParam)) freeMessage(message, wParam);
}

void CUpdateProgressDlg::postStatusText(const std::wstring& text) {
    postToDialog(platform::WM_APP_STATUS_TEXT, handOver(std::make_unique<std::wstring>(text)));
}

void CUpdateProgressDlg::postProgress(std::int32_t percent, const std::wstring& text) {
    std::unique_ptr<ProgressReport> report(newProgressReport(percent, text));
    postToDialog(platform::WM_APP_PROGRESS, handOver(std::move(report)));
}

void CUpdateProgressDlg::postFigures(ProgressFigures& figures, std::int64_t done) {
    const auto now = std::chrono::steady_clock::now();
    const std::int64_t total = m_downloader.downloadInfo().fileSize();
    // An outage lasts until bytes come again, the tries between the pauses included.
    const auto pauseEnd = m_downloader.outagePauseEnd();
    figures.record({now, done, total, pauseEnd.has_value(), pauseEnd.value_or(now)});
    if (!figures.updateDue(now)) return;
    auto report = std::make_unique<FiguresReport>();
    report->line = figures.line(russianInterface());
    report->taskbar = pauseEnd ? TaskbarState::paused : TaskbarState::normal;
    report->done = done;
    report->total = total;
    postToDialog(platform::WM_APP_FIGURES, handOver(std::move(report)));
}

void CUpdateProgressDlg::postFinish() { postToDialog(platform::WM_APP_FINISH, 0); }

bool CUpdateProgressDlg::onInitDialog(platform::DialogWindow& window) {
    m_window = &window;
    return OnInitDialog();
}

void CUpdateProgressDlg::onCommand(int commandId) {
    if (commandId == kIdOk) OnOK();
    if (commandId == kIdCancel) OnCancel();
}

void CUpdateProgressDlg::onClose() { OnClose(); }

void CUpdateProgressDlg::onAppMessage(std::uint32_t message, std::uintptr_t wParam) {
    if (m_ended) {
        freeMessage(message, wParam);
        return;
    }
    switch (message) {
    case platform::WM_APP_STATUS_TEXT:
        OnStatusText(takeBack<std::wstring>(wParam));
        break;
    case platform::WM_APP_PROGRESS:
        OnProgress(takeBack<ProgressReport>(wParam));
        break;
    case platform::WM_APP_FINISH:
        OnFinish();
        break;
    case platform::WM_APP_LAUNCHED:
        OnLaunched(takeBack<std::wstring>(wParam));
        break;
    case platform::WM_APP_FIGURES:
        OnFigures(takeBack<FiguresReport>(wParam));
        break;
    case platform::WM_APP_NOTICE_SHOWN:
        OnNoticeShown();
        break;
    default:
        break;
    }
}

void CUpdateProgressDlg::onUndeliveredMessage(std::uint32_t message, std::uintptr_t wParam) {
    freeMessage(message, wParam);
}

void CUpdateProgressDlg::onTaskbarButtonCreated() {
    if (!m_ended) OnTaskbarButtonCreated();
}

void CUpdateProgressDlg::onDestroyed() { PostNcDestroy(); }
