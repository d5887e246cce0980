// The progress dialog's worker thread: proxy, size probe, companion rule,
// the download and its progress reports.
#include <chrono>
#include <thread>

#include <curl/curl.h>

#include "app/companion.h"
#include "app/proxy_discovery.h"
#include "app/ui_text.h"
#include "app/update_progress_dlg.h"
#include "config/catalog.h"
#include "platform/text.h"

namespace {

constexpr std::chrono::milliseconds kPollPeriod{30};

}  // namespace

void CUpdateProgressDlg::workerThread() {
    curl_global_init(CURL_GLOBAL_ALL);
    // The stop flag aborts the proxy test and the probe in flight, so a
    // confirmed close does not wait for their time bounds.
    const ProxySettings proxy = discoverProxy(m_os, m_settings.proxyTestAddress, kProxyTestTimeout, &m_stopRequested);

    if (m_stopRequested) return;

    DownloadInfo info;
    std::wstring statePath;
    try {
        if (!prepareDownload(proxy, info, statePath)) {
            postFinish();
            return;
        }
    } catch (const ErrorClass& error) {
        reportFailure(errorMessageFor(error));
        return;
    } catch (...) {
        reportFailure(kInternalErrorMessage);
        return;
    }

    // A stopped worker starts no download: nothing is written or allocated.
    if (m_stopRequested) return;
    m_downloader.setProxy(proxy);
    m_downloader.setDownloadInfo(info);
    m_downloader.setTempFilePath(statePath);
    // Judges the state an earlier run left before anything replaces it; a
    // start that cannot continue it saves the fresh description, as always.
    m_downloader.prepareStart();
    m_downloader.beginDownload();

    while (!m_stopRequested) {
        std::this_thread::sleep_for(kPollPeriod);
        // Completion is only reported once the download thread has ended: the
        // last parts may still be on their way to the disk after isComplete().
        if (!m_downloader.isDownloading()) {
            if (m_downloader.downloadInfo().isComplete()) {
                postProgress(100, L"");
            } else {
                reportFailure(uiText(kTextInternalError));
            }
            return;
        }
        const DownloadInfo& running = m_downloader.downloadInfo();
        const std::int32_t percent = progressPercent(m_downloader.progressLength(), running.fileSize());
        postProgress(percent, progressText(uiText(kTextProgress), percent));
    }

    // A dialog that stops a finished download is about to start the
    // installer: let the download thread close the file instead of cutting it off.
    if (m_downloader.downloadInfo().isComplete()) {
        waitForDownloadThread();
    } else {
        m_downloader.stop();
    }
}

bool CUpdateProgressDlg::prepareDownload(const ProxySettings& proxy, DownloadInfo& info, std::wstring& statePath) {
    const std::string address = downloadAddress();
    HeaderList headers;
    std::string error;
    const CURLcode result = requestHeaders(address, {}, proxy, headers, error, &m_stopRequested);
    if (result != CURLE_OK) throw ErrorClass{kErrorKindDownload, static_cast<std::int32_t>(result)};
    requireSuccessfulProbe(headers);
    const std::int32_t size = contentLengthToSize(firstContentLength(headers));
    // Every part must come from the version of the file the probe saw.
    m_downloader.setValidator(responseValidator(headers));

    if (startInstalledCompanion(m_os, m_productIndex, m_contentType, m_contentAddress)) return false;

    info.setUrlSuffix("");
    info.setFileSize(size);
    info.setPartSize(DownloadInfo::kPartSize);
    info.setMaxWorkers(DownloadInfo::kMaxWorkers);
    info.setUrls({address});
    const std::wstring tag = platform::fromUtf8(info.fileTag());
    statePath = resumeStatePath(m_os.temporaryDirectory(), tag);
    info.setFilePath(installerPath(m_os.temporaryDirectory(), catalogFileStem(m_productIndex), tag));
    if (!info.isValid()) throw std::runtime_error("Undefined error!");

    postStatusText(uiText(kTextPreparingStatus));
    return true;
}

void CUpdateProgressDlg::waitForDownloadThread() {
    while (m_downloader.isDownloading()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
}
