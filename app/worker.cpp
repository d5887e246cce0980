// The progress dialog's worker thread: proxy, size probe, companion rule,
// the download and its progress reports (the percentage, the figures line
// and the taskbar button), the system kept awake meanwhile.
#include <chrono>
#include <memory>
#include <thread>
#include <utility>

#include <curl/curl.h>

#include "app/companion.h"
#include "app/download_record.h"
#include "app/proxy_discovery.h"
#include "app/space_notice.h"
#include "app/ui_text.h"
#include "app/update_progress_dlg.h"
#include "config/catalog.h"
#include "platform/text.h"

namespace {

constexpr std::chrono::milliseconds kPollPeriod{30};

// The system stays awake from the download's start to its end, however it
// ends; the request is the calling thread's, so it is given back on it.
class AwakeWhileDownloading {
public:
    explicit AwakeWhileDownloading(platform::OsServices& os) : m_os(os) { m_os.keepSystemAwake(true); }
    ~AwakeWhileDownloading() { release(); }
    AwakeWhileDownloading(const AwakeWhileDownloading&) = delete;
    AwakeWhileDownloading& operator=(const AwakeWhileDownloading&) = delete;
    void release() {
        if (std::exchange(m_held, false)) m_os.keepSystemAwake(false);
    }

private:
    platform::OsServices& m_os;
    bool m_held = true;
};

}  // namespace

void CUpdateProgressDlg::workerThread() {
    curl_global_init(CURL_GLOBAL_ALL);
    // The stop flag aborts the proxy test and the probe in flight, so a
    // confirmed close does not wait for their time bounds.
    ProxyDiscovery discovery =
        discoverProxy(m_os, downloadAddress(), m_settings.proxyTestAddress, kProxyTestTimeout, &m_stopRequested);

    if (m_stopRequested) return;

    DownloadInfo info;
    std::wstring statePath;
    try {
        if (!prepareDownload(discovery, info, statePath)) {
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
    m_downloader.setProxy(discovery.proxy);
    m_downloader.setDownloadInfo(info);
    m_downloader.setTempFilePath(statePath);
    // Nothing in the download folder vouches for itself: the record that
    // says which state and file are genuine is kept where only an elevated
    // process can write.
    m_downloader.setRecordStore(std::make_shared<OsResumeRecordStore>(m_os, statePath));
    // Judges the state an earlier run left before anything replaces it; a
    // start that cannot continue it saves the fresh description, as always.
    m_downloader.prepareStart();
    AwakeWhileDownloading awake(m_os);
    m_downloader.beginDownload();
    // The figures start with the download: until the size is known the line
    // stays empty.
    ProgressFigures figures;

    while (!m_stopRequested) {
        // Completion is only reported once the download thread has ended: the
        // last parts may still be on their way to the disk after isComplete().
        if (m_downloader.waitForEnd(kPollPeriod)) {
            // A notice may wait for its answer overnight: the system may sleep meanwhile.
            awake.release();
            if (m_downloader.downloadInfo().isComplete()) {
                postProgress(100, L"");
            } else if (m_downloader.result() == DE_NotEnoughSpace) {
                // Nothing was fetched and what an earlier start kept stays:
                // once the user has made room, the next start goes on.
                reportFailure(notEnoughSpaceNotice(m_downloader.spaceNeeded(), info.filePath()));
            } else {
                reportFailure(uiText(kTextInternalError));
            }
            return;
        }
        // The bar and the figures line read one count, so the line is never
        // ahead of the bar.
        const DownloadInfo& running = m_downloader.downloadInfo();
        const std::int32_t done = m_downloader.progressLength();
        const std::int32_t percent = progressPercent(done, running.fileSize());
        postProgress(percent, progressText(uiText(kTextProgress), percent));
        postFigures(figures, done);
    }

    // A dialog that stops a finished download is about to start the
    // installer: let the download thread close the file instead of cutting it off.
    if (m_downloader.downloadInfo().isComplete()) {
        waitForDownloadThread();
    } else {
        m_downloader.stop();
    }
}

bool CUpdateProgressDlg::prepareDownload(ProxyDiscovery& discovery, DownloadInfo& info, std::wstring& statePath) {
    const std::string address = downloadAddress();
    HeaderList headers;
    HeaderList failedAnswer;
    std::string error;
    CURLcode result = requestHeaders(address, {}, discovery.proxy, headers, error, &m_stopRequested, &failedAnswer);
    if (shouldAutoDetect(discovery, result) && !m_stopRequested) {
        // Networks that block direct traffic may name their proxy only through WPAD.
        const ProxySettings detected = autoDetectProxy(m_os, address, &m_stopRequested);
        if (usesProxy(detected)) {
            discovery.proxy = detected;
            failedAnswer.clear();
            result = requestHeaders(address, {}, discovery.proxy, headers, error, &m_stopRequested, &failedAnswer);
        }
    }
    // The signed-in user's credentials were all the program had to give: a
    // proxy that still refuses is named as such instead of sizing its own
    // page or reporting its refused tunnel as a lost connection.
    if (usesProxy(discovery.proxy) && proxyWantsCredentials(result == CURLE_OK ? headers : failedAnswer))
        throw ErrorClass{kErrorKindServer, kProxyAuthenticationRequired};
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
    const std::wstring folder = m_os.downloadFolder();
    statePath = resumeStatePath(folder, tag);
    info.setFilePath(installerPath(folder, catalogFileStem(m_productIndex), tag));
    if (!info.isValid()) throw std::runtime_error("Undefined error!");

    postStatusText(uiText(kTextPreparingStatus));
    return true;
}

void CUpdateProgressDlg::waitForDownloadThread() {
    while (!m_downloader.waitForEnd(kPollPeriod)) continue;
}
