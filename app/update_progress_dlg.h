// The progress dialog: owns the stamped settings, the chosen product, the
// download engine and the worker thread for one run; shows the status line,
// the progress line, the bar, the figures line under it and the progress on
// the taskbar button; asks before closing; starts the downloaded installer
// when the download is complete, on a thread of its own.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "app/installer_launch.h"
#include "app/progress_figures.h"
#include "app/proxy_discovery.h"
#include "app/taskbar_progress.h"
#include "app/worker_steps.h"
#include "config/catalog.h"
#include "config/payload.h"
#include "config/payload_seal.h"
#include "downloader/downloader.h"
#include "downloader/proxy_settings.h"
#include "app/dialog_window.h"
#include "app/os_services.h"

// What one run of the dialog takes from the build: the product and the
// addresses it talks to. Tests point them at their own servers.
struct ProgressDialogSettings {
    // The catalog id this build installs.
    std::string productId = buildProductId();
    // Where the product's installer is fetched from; empty: the catalog's address.
    std::string downloadAddress;
    // The target of the proxy test.
    std::string proxyTestAddress = kProxyTestAddress;
    // How long the installer's start is tried while a scanner holds the file.
    LaunchRetry launchRetry;
    // The distributor's key: when set, only a block sealed with it for this
    // product is taken, and a program without one is refused.
    std::optional<platform::P256PublicKey> payloadKey = buildPayloadPublicKey();
};

class CUpdateProgressDlg : public platform::DialogHandler {
public:
    explicit CUpdateProgressDlg(platform::OsServices& os, ProgressDialogSettings settings = {});
    ~CUpdateProgressDlg() override;
    CUpdateProgressDlg(const CUpdateProgressDlg&) = delete;
    CUpdateProgressDlg& operator=(const CUpdateProgressDlg&) = delete;

    // Runs the dialog modally; returns its end result.
    int DoModal();

    // The error notice, shown modally over the dialog from the worker thread;
    // returns the box's result.
    int showErrorMessage(const std::wstring& message);

protected:
    // The worker thread's body: proxy, probe, companion rule, download and
    // progress reports.
    virtual void workerThread();

    // Shows the error notice unless a stop was requested, then asks the
    // dialog to close; false when the notice was skipped because of the stop.
    bool reportFailure(const std::wstring& message);
    // The worker's messages to the dialog, callable from any thread. What a
    // message carries belongs to the dialog once posted and is freed here when
    // the post fails.
    void postStatusText(const std::wstring& text);
    void postProgress(std::int32_t percent, const std::wstring& text);
    // The figures line and the taskbar button for the download as it stands
    // now, at most twice a second.
    void postFigures(ProgressFigures& figures, std::int64_t done);
    void postFinish();

    // Sets the stop flag and waits for the worker. Returns false without
    // waiting when the worker has already committed to an error notice, which
    // needs this thread responsive; that worker asks to close right after.
    bool stopWorker();
    // Waits for the worker whatever it does.
    void joinWorker();

    // Handlers, on the interface thread.
    bool OnInitDialog();
    void DoDataExchange();
    void OnClose();
    void OnOK();
    void OnCancel();
    void OnStatusText(std::unique_ptr<std::wstring> text);
    void OnProgress(std::unique_ptr<ProgressReport> report);
    void OnFinish();
    void OnLaunched(std::unique_ptr<std::wstring> notice);
    void OnFigures(std::unique_ptr<FiguresReport> report);
    void OnNoticeShown();
    void OnTaskbarButtonCreated();
    void PostNcDestroy();
    // EndDialog, remembered: an ended dialog still receives posted messages
    // until its window is gone (from any modal loop on this thread), and
    // acts on none of them.
    void endDialog(int result);

    // The dialog handler interface, forwarding to the handlers above.
    bool onInitDialog(platform::DialogWindow& window) override;
    void onCommand(int commandId) override;
    void onClose() override;
    void onAppMessage(std::uint32_t message, std::uintptr_t wParam) override;
    void onUndeliveredMessage(std::uint32_t message, std::uintptr_t wParam) override;
    void onTaskbarButtonCreated() override;
    void onDestroyed() override;

    platform::OsServices& m_os;
    const ProgressDialogSettings m_settings;
    platform::DialogWindow* m_window = nullptr;
    std::atomic<bool> m_stopRequested{false};
    Downloader m_downloader;
    std::thread m_workerThread;
    std::int32_t m_productIndex = 0;
    bool m_silentMode = false;
    std::string m_productId;
    std::wstring m_vid;
    std::wstring m_partnerId;
    std::wstring m_contentAddress;
    std::wstring m_contentType;
    std::wstring m_offerUrl;
    PayloadMap m_payload;

private:
    // Posts to the dialog; frees the object if the post fails. Once a stop was
    // requested nothing more is posted (the stopping dialog may already be
    // gone, or about to start the installer itself), except the close request
    // that follows an error notice the worker had committed to.
    void postToDialog(std::uint32_t message, std::uintptr_t wParam);
    // Where the product's installer is fetched from.
    std::string downloadAddress() const;
    // The program's payload block, sealed when the build has a key; throws
    // "Invalid installer!" for a block the key does not vouch for.
    PayloadMap readProgramPayload() const;

    // Prepares the download (steps that throw to the worker's handler):
    // returns false when the companion product was started instead. A direct
    // probe that fails may turn `discovery`'s proxy into the auto-detected one.
    bool prepareDownload(ProxyDiscovery& discovery, DownloadInfo& info, std::wstring& statePath);
    // Waits for the download thread to end on its own: used once every part is in.
    void waitForDownloadThread();
    // Starts the installer at most once per process (there is one dialog per
    // process): true when the launcher thread took it on, and its outcome will
    // come as WM_APP_LAUNCHED; false when nothing can be started (shown in an
    // error notice already).
    bool launchDownloadedInstaller();
    // The launcher thread's body: the held file checked and started (tried
    // again while a scanner holds it), released, and the outcome posted
    // unless the start was cancelled.
    void launcherThread(platform::File held, std::wstring installerFile, std::wstring parameters);
    // The checks and the start: the notice for a file that was not started,
    // empty when it was.
    std::wstring checkAndStart(const platform::File& held, const std::wstring& installerFile,
                               const std::wstring& parameters);
    // Ends the launcher's tries without a start and waits for it.
    void cancelLaunch();
    // The launcher's notice shown (none when the installer started), the dialog ended.
    void finishLaunch(const std::wstring& notice);
    // The worker stopped, the installer handed to the launcher (or the dialog ended).
    void finishCompletedDownload();

    // Orders "the worker commits to an error notice" against "the interface
    // thread asks it to stop".
    std::mutex m_noticeLock;
    bool m_noticeCommitted = false;
    // Interface thread only.
    std::thread::id m_interfaceThread;
    TaskbarProgress m_taskbar;
    bool m_ended = false;
    bool m_installerStarted = false;
    // The close confirmation is open; a completion reported meanwhile waits
    // for its answer.
    bool m_confirmingClose = false;
    bool m_completionPending = false;
    // The start's outcome, reported while the close confirmation was open.
    std::unique_ptr<std::wstring> m_launchOutcome;

    std::thread m_launcherThread;
    std::atomic<bool> m_launchCancelled{false};
};
