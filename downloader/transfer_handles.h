// The libcurl handles of a transfer run and what drives them: creating the
// worker records and handles, arming a worker with a part, the write callback
// that fills a worker's part buffer, the proxy rules of the two kinds of
// handle, releasing a run's handles, and the pause and time-out of the
// loop's wait. Also the few fixed texts and bounds shared by the probe, the
// transfer loop and the part verification.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <curl/curl.h>

#include "downloader/curl_handles.h"
#include "downloader/download_info.h"
#include "downloader/downloader.h"
#include "downloader/proxy_settings.h"
#include "downloader/read_pacing.h"

namespace transfer {

inline constexpr char kUserAgentFormat[] = "User-Agent:%s";
inline constexpr char kProductName[] = "Vorlane Downloader";
inline constexpr char kProbeUserAgent[] = "User-Agent: Vorlane Downloader";
inline constexpr char kProbeExpect[] = "Expect:";
inline constexpr char kRangeFormat[] = "%ld-%ld";
inline constexpr long kMaxRedirects = 5;
inline constexpr long kProbeConnectTimeoutSeconds = 5;
inline constexpr std::size_t kErrorBufferSize = CURL_ERROR_SIZE;

// Log text of a 206 answer whose Content-Range names other bytes than asked for.
inline constexpr char kVerifyContentRange[] = "Verification error! contentRange[%d]=%s";

// How long a transfer may go without progress before libcurl abandons it, so
// that a server which keeps a connection open and sends nothing costs one
// counted error instead of the whole download. The probe gets the same
// low-speed bound (its connect bound stays kProbeConnectTimeoutSeconds).
struct StallBounds {
    long connectTimeoutSeconds;
    long lowSpeedLimitBytesPerSecond;
    long lowSpeedTimeSeconds;
};
inline constexpr StallBounds kStallBounds{30, 1, 30};

// The bounds in force: kStallBounds unless a test has shortened them.
StallBounds stallBounds();
// Tests only: stall cases would otherwise take half a minute each.
void overrideStallBoundsForTesting(std::optional<StallBounds> bounds);

// Everything libcurl-side of one run of the transfer loop; index = worker.
// Owns its handles: however the run ends, they are released in libcurl's
// order (see curlCleanUp).
struct TransferRun {
    curlh::SlistHandle headerList;  // every worker handle points at it
    curlh::MultiHandle multiHandle;
    std::vector<curlh::EasyHandle> ownedHandles;
    std::vector<CURL*> workerHandles;  // the same handles, for lookups by handle
    Downloader::UserPDataList workers;
    std::vector<std::string> rangeTexts;

    TransferRun() = default;
    ~TransferRun();
    TransferRun(const TransferRun&) = delete;
    TransferRun& operator=(const TransferRun&) = delete;
};

// One record per worker: no part yet, an empty buffer of partSize bytes.
Downloader::UserPDataList createWorkerRecords(Downloader* owner, std::int32_t workersCount,
                                              std::int32_t partSize);

// Creates the multi handle (one connection per transfer: no multiplexing),
// the run's header list and one configured easy handle per record, none of
// them added to the multi handle yet. False when libcurl could not make one of
// them; whatever was made is in `run` for curlCleanUp.
bool createTransferHandles(TransferRun& run, const std::string& url, const ProxySettings& proxy);

// Resets worker w's record for part p with keptBytes leading bytes already in
// its buffer, and sets the handle's Range to the rest of the part and of the
// run of parts the worker holds after it (just the part when the worker's run
// does not begin at p).
void armWorker(TransferRun& run, const DownloadInfo& info, std::int32_t w, std::int32_t p,
               std::int32_t keptBytes);

// "%ld-%ld" with the first and last byte, both inclusive.
std::string formatRange(std::int32_t first, std::int32_t last);

// libcurl write function of the worker handles; user data is the record.
// Takes the body only after a 206 of exactly the bytes asked for, of the
// file's version; every part the body fills before the run's last one goes
// to the record's writer as soon as it is full.
std::size_t writeCallback(char* data, std::size_t size, std::size_t count, void* userData);

// Header function of the worker handles: headerCallback, and the final
// response's Content-Range kept aside in the record.
std::size_t partHeaderCallback(char* data, std::size_t size, std::size_t count, void* userData);

// True when the record's final response either named no byte range or named
// exactly the bytes its Range asked for (rangeFirst to rangeLast), of a file
// of the expected size.
bool contentRangeMatches(const Downloader::UserPData& record, const DownloadInfo& info);

// True unless the download's validator is known and the record's final
// response names another one.
bool validatorMatches(const Downloader::UserPData& record);

// True when the record's final response is a 200 carrying the whole file
// (its Content-Length the probed size) of the version the download started
// with: a server, or a proxy, that ignores Range. See whole_stream.h.
bool isWholeFileAnswer(const Downloader::UserPData& record, const DownloadInfo& info);

// Log text of a 206 answer from another version of the file.
inline constexpr char kVerifyValidator[] = "Verification error! validator[%d]=%s";

struct ContentRange {
    std::int64_t first = 0;
    std::int64_t last = 0;
    std::int64_t total = -1;  // -1: "*", size not given
};
// "bytes first-last/total" with first <= last < total ("*" for total: any
// last); nullopt for anything else (including "bytes */total").
std::optional<ContentRange> parseContentRange(const std::string& value);

// Proxy rules. The probe uses a proxy only when type is 2 and host is set and
// otherwise leaves libcurl's defaults alone; part transfers use host:port
// whenever host is set and otherwise switch every proxy off.
void applyProbeProxy(CURL* handle, const ProxySettings& proxy);
void applyWorkerProxy(CURL* handle, const ProxySettings& proxy);
std::string proxyAddress(const ProxySettings& proxy);

// TLS and redirect rules of every handle (probe, proxy test, parts). On
// Windows, Schannel fails a handshake whose certificate's revocation cannot be
// checked (a blocked CRL or OCSP server, a TLS-inspecting proxy's certificate
// without a distribution point); best effort still refuses a certificate
// known to be revoked and leaves the rest of libcurl's verification as it is.
// An https address is never left for plain http by a redirect.
struct TlsRules {
    long sslOptions = 0;  // CURLOPT_SSL_OPTIONS; 0: libcurl's default, not set
    const char* redirectProtocols = "http,https";  // CURLOPT_REDIR_PROTOCOLS_STR
};
TlsRules tlsRules(const std::string& url);
void applyTlsRules(CURL* handle, const std::string& url);

// Removes and releases every worker handle, then the multi handle, then the
// header list. Safe to repeat; the run's destructor calls it too.
void curlCleanUp(TransferRun& run);

// How long one wait of the transfer loop may last for libcurl's time-out
// (milliseconds, -1 for none): a positive time whose whole seconds do not
// exceed 1 (up to 1999 ms) is taken as it is, anything else waits 1 s.
long waitTimeMilliseconds(long curlTimeoutMilliseconds);

// Shows `pacing` where every worker's transfer stands, then sleeps for the
// pause it allows, within the wait about to begin and libcurl's own time-out
// (-1: none); returns what is left of the wait. A worker marked in `paused`
// waits for a retry and has no transfer under way.
long pauseBeforeWait(ReadPacing& pacing, const TransferRun& run, const DownloadInfo& info,
                     long curlTimeoutMilliseconds, long waitMilliseconds,
                     const std::vector<bool>& paused = {});

}  // namespace transfer
