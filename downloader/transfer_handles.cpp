#include "downloader/transfer_handles.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

#include <boost/algorithm/string/case_conv.hpp>
#include <boost/algorithm/string/predicate.hpp>
#include <boost/algorithm/string/trim.hpp>

#include "downloader/async_writer.h"
#include "downloader/header_record.h"

namespace transfer {

namespace {

// A fast link has far more than libcurl's default 16 KiB waiting at every
// read; each read also costs libcurl a readiness check of the socket, so a
// larger buffer cuts both by four. Twelve of them are 768 KiB in all.
constexpr long kReceiveBufferBytes = 64 * 1024;

std::mutex g_boundsLock;
std::optional<StallBounds> g_boundsOverride;

void removeLineEnds(std::string& line) {
    line.erase(std::remove_if(line.begin(), line.end(), [](char c) { return c == '\r' || c == '\n'; }),
               line.end());
}

bool parseNumber(const std::string& text, std::int64_t& value) {
    if (text.empty()) return false;
    const char* begin = text.data();
    const char* end = begin + text.size();
    const auto [rest, error] = std::from_chars(begin, end, value);
    return error == std::errc() && rest == end && value >= 0;
}

}  // namespace

StallBounds stallBounds() {
    std::lock_guard<std::mutex> guard(g_boundsLock);
    return g_boundsOverride.value_or(kStallBounds);
}

void overrideStallBoundsForTesting(std::optional<StallBounds> bounds) {
    std::lock_guard<std::mutex> guard(g_boundsLock);
    g_boundsOverride = bounds;
}

Downloader::UserPDataList createWorkerRecords(Downloader* owner, std::int32_t workersCount,
                                              std::int32_t partSize) {
    Downloader::UserPDataList workers;
    for (std::int32_t w = 0; w < workersCount; ++w) {
        auto record = std::make_shared<Downloader::UserPData>();
        record->owner = owner;
        record->workerIndex = w;
        record->partIndex = -1;
        record->downloadedLength = 0;
        // Zeroed, so that a dumped part never carries stale memory into the file.
        const std::int32_t capacity = std::max<std::int32_t>(partSize, 0);
        record->buffer = SharedBytes(new char[capacity > 0 ? capacity : 1]());
        record->bufferCapacity = capacity;
        workers.push_back(std::move(record));
    }
    return workers;
}

bool createTransferHandles(TransferRun& run, const std::string& url, const ProxySettings& proxy) {
    run.multiHandle.reset(curl_multi_init());
    if (!run.multiHandle) return false;
    // Newer libcurl would carry every transfer to one host over a single
    // multiplexed connection; each worker keeps a connection of its own.
    curl_multi_setopt(run.multiHandle.get(), CURLMOPT_PIPELINING, static_cast<long>(CURLPIPE_NOTHING));

    char userAgent[64];
    std::snprintf(userAgent, sizeof userAgent, kUserAgentFormat, kProductName);
    if (!curlh::appendLine(run.headerList, userAgent)) return false;

    const StallBounds bounds = stallBounds();
    run.workerHandles.assign(run.workers.size(), nullptr);
    run.rangeTexts.assign(run.workers.size(), std::string());
    run.ownedHandles.reserve(run.workers.size());
    for (std::size_t w = 0; w < run.workers.size(); ++w) {
        run.ownedHandles.emplace_back(curl_easy_init());
        CURL* handle = run.ownedHandles.back().get();
        run.workerHandles[w] = handle;
        if (handle == nullptr) return false;
        Downloader::UserPData* record = run.workers[w].get();
        curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
        curl_easy_setopt(handle, CURLOPT_HTTPHEADER, run.headerList.get());
        curl_easy_setopt(handle, CURLOPT_HEADERDATA, record);
        curl_easy_setopt(handle, CURLOPT_HEADERFUNCTION, &partHeaderCallback);
        curl_easy_setopt(handle, CURLOPT_WRITEDATA, record);
        curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, &writeCallback);
        curl_easy_setopt(handle, CURLOPT_BUFFERSIZE, kReceiveBufferBytes);
        curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 1L);
        curl_easy_setopt(handle, CURLOPT_MAXREDIRS, kMaxRedirects);
        applyTlsRules(handle, url);
        // No signal handler is swapped in and out around every libcurl call;
        // name resolution then runs on libcurl's own resolver thread.
        curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
        applyWorkerProxy(handle, proxy);
        // Nothing may wait forever: a connect or a stalled answer ends as one
        // counted error and the part is fetched again.
        curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT, bounds.connectTimeoutSeconds);
        curl_easy_setopt(handle, CURLOPT_LOW_SPEED_LIMIT, bounds.lowSpeedLimitBytesPerSecond);
        curl_easy_setopt(handle, CURLOPT_LOW_SPEED_TIME, bounds.lowSpeedTimeSeconds);
    }
    return true;
}

std::string formatRange(std::int32_t first, std::int32_t last) {
    // snprintf rather than a locale-aware formatter: the download thread
    // formats every part, and the C library's formatting shares no lazily
    // filled locale cache with other threads.
    char text[32];
    std::snprintf(text, sizeof text, kRangeFormat, static_cast<long>(first), static_cast<long>(last));
    return text;
}

void armWorker(TransferRun& run, const DownloadInfo& info, std::int32_t w, std::int32_t p,
               std::int32_t keptBytes) {
    Downloader::UserPData& record = *run.workers[static_cast<std::size_t>(w)];
    const std::int32_t offset = info.partOffset(p);
    const std::int32_t length = info.partLength(p);
    // Kept bytes outside the part cannot be the start of it.
    if (keptBytes < 0 || keptBytes >= length) keptBytes = 0;
    // The request covers the rest of the worker's run; a part armed outside
    // the run it holds is asked for alone.
    std::int32_t end = info.runEnd(w);
    if (info.currentPart(w) != p || end <= p || end > info.partsCount()) end = p + 1;

    const std::int32_t first = offset + keptBytes;
    const std::int32_t last = static_cast<std::int32_t>(
        std::min<std::int64_t>(static_cast<std::int64_t>(end) * info.partSize(), info.fileSize()) - 1);
    run.rangeTexts[static_cast<std::size_t>(w)] = formatRange(first, last);

    record.rangeFirst = first;
    record.rangeLast = last;
    record.expectedLength = last - first + 1;
    record.downloadedLength = keptBytes;
    record.requestReceived = 0;
    record.contentSize = 0;
    record.partIndex = p;
    record.runEnd = end;
    record.headers.clear();
    record.statusHeader = HeaderRecord{};
    record.contentRange.clear();
    record.bodyChecked = false;
    // A buffer cut to a short part by a read-back must never receive a longer
    // one; the kept bytes move along.
    if (record.bufferCapacity < length || !record.buffer) {
        const std::int32_t capacity = std::max(length, info.partSize());
        SharedBytes bigger(new char[capacity]());
        if (keptBytes > 0 && record.buffer) std::memcpy(bigger.get(), record.buffer.get(), keptBytes);
        record.buffer = std::move(bigger);
        record.bufferCapacity = capacity;
    }

    curl_easy_setopt(run.workerHandles[static_cast<std::size_t>(w)], CURLOPT_RANGE,
                     run.rangeTexts[static_cast<std::size_t>(w)].c_str());
}

namespace {

// The body has filled the record's part and the request goes on: the part
// goes to the writer, as a verified part does, and the worker moves to the
// next part of its run. False when it cannot (no writer, or the description
// no longer has the worker on this part).
bool handOverRunPart(Downloader::UserPData& record, DownloadInfo& info) {
    const std::int32_t p = record.partIndex;
    if (record.writer == nullptr || info.currentPart(record.workerIndex) != p ||
        info.runEnd(record.workerIndex) < record.runEnd)
        return false;
    record.bufferCapacity = record.writer->handOver(info.partOffset(p), info.partLength(p), record.buffer);
    info.finishPart(record.workerIndex);
    record.partIndex = p + 1;
    record.downloadedLength = 0;
    ++record.partsHandedOver;
    return true;
}

}  // namespace

std::size_t writeCallback(char* data, std::size_t size, std::size_t count, void* userData) {
    auto* record = static_cast<Downloader::UserPData*>(userData);
    const std::size_t n = size * count;
    if (record == nullptr || record->owner == nullptr) return 0;
    if (record->statusHeader.value != "206") return 0;
    if (record->contentSize != record->expectedLength) return 0;

    DownloadInfo& info = record->owner->downloadInfo();
    // A chunk is taken whole or not at all; it never runs past the run.
    const std::int64_t runLeft = static_cast<std::int64_t>(record->rangeLast) + 1 -
                                 info.partOffset(record->partIndex) - record->downloadedLength;
    if (static_cast<std::int64_t>(n) > runLeft ||
        static_cast<std::int64_t>(record->requestReceived) + static_cast<std::int64_t>(n) > record->expectedLength)
        return 0;
    // Bytes of another range, or of another version of the file, would be
    // written into this part's place. The headers cannot change within one
    // body, so the first bytes of it decide.
    if (!record->bodyChecked) {
        try {
            if (!contentRangeMatches(*record, info)) return 0;
            if (!validatorMatches(*record)) return 0;
        } catch (...) {
            return 0;  // no exception may unwind through libcurl
        }
        record->bodyChecked = true;
    }

    // The body runs through the parts of the run in order; each part it
    // fills before the last is handed over at once, the last is judged when
    // the transfer ends.
    std::size_t taken = 0;
    while (taken < n) {
        const std::int32_t length = info.partLength(record->partIndex);
        if (record->downloadedLength == length) {
            if (record->partIndex + 1 >= record->runEnd) return 0;
            try {
                if (!handOverRunPart(*record, info)) return 0;
            } catch (...) {
                return 0;
            }
            continue;
        }
        const std::size_t room = static_cast<std::size_t>(std::min(length, record->bufferCapacity) - record->downloadedLength);
        if (room == 0) return 0;
        const std::size_t chunk = std::min(room, n - taken);
        std::memcpy(record->buffer.get() + record->downloadedLength, data + taken, chunk);
        record->downloadedLength += static_cast<std::int32_t>(chunk);
        taken += chunk;
    }
    record->requestReceived += static_cast<std::int32_t>(n);
    record->receivedBytes += static_cast<std::int64_t>(n);
    return n;
}

bool validatorMatches(const Downloader::UserPData& record) {
    const std::string& expected = record.owner->validator();
    if (expected.empty()) return true;
    const std::string received = responseValidator(record.headers);
    // An answer that names no version cannot be told apart; one that names
    // another version is another file.
    return received.empty() || received == expected;
}

bool isWholeFileAnswer(const Downloader::UserPData& record, const DownloadInfo& info) {
    return record.statusHeader.value == "200" && record.contentSize == info.fileSize() && validatorMatches(record);
}

std::size_t partHeaderCallback(char* data, std::size_t size, std::size_t count, void* userData) {
    const std::size_t taken = headerCallback(data, size, count, userData);
    auto* record = static_cast<Downloader::UserPData*>(userData);
    if (record != nullptr) record->bodyChecked = false;
    if (record == nullptr || taken != size * count) return taken;

    try {
        std::string line(data, size * count);
        removeLineEnds(line);
        const std::size_t colon = line.find(':');
        if (line.starts_with("HTTP/") || colon == std::string::npos) return taken;
        std::string name = line.substr(0, colon);
        boost::trim(name);
        if (boost::iequals(name, "content-range")) record->contentRange = boost::trim_copy(line.substr(colon + 1));
    } catch (...) {
        return 0;  // no exception may unwind through libcurl
    }
    return taken;
}

std::optional<ContentRange> parseContentRange(const std::string& value) {
    std::string text = boost::trim_copy(value);
    if (text.size() < 5 || !boost::iequals(text.substr(0, 5), "bytes")) return std::nullopt;
    text = boost::trim_copy(text.substr(5));
    const std::size_t dash = text.find('-');
    const std::size_t slash = text.find('/');
    if (dash == std::string::npos || slash == std::string::npos || slash < dash) return std::nullopt;

    ContentRange range;
    if (!parseNumber(text.substr(0, dash), range.first)) return std::nullopt;
    if (!parseNumber(text.substr(dash + 1, slash - dash - 1), range.last)) return std::nullopt;
    const std::string total = text.substr(slash + 1);
    if (total == "*") {
        range.total = -1;
    } else if (!parseNumber(total, range.total)) {
        return std::nullopt;
    }
    if (range.last < range.first) return std::nullopt;
    // A range that ends at or past the size it names is no range of that file.
    if (range.total >= 0 && range.last >= range.total) return std::nullopt;
    return range;
}

bool contentRangeMatches(const Downloader::UserPData& record, const DownloadInfo& info) {
    if (record.contentRange.empty()) return true;
    const std::optional<ContentRange> range = parseContentRange(record.contentRange);
    if (!range) return false;
    // Another total means another file: its bytes do not belong in this one.
    return range->first == record.rangeFirst && range->last == record.rangeLast &&
           (range->total < 0 || range->total == info.fileSize());
}

std::string proxyAddress(const ProxySettings& proxy) {
    // "%s:%d" with the port text printed unchanged.
    return proxy.host + ":" + proxy.port;
}

namespace {

void applyProxy(CURL* handle, const ProxySettings& proxy) {
    const std::string address = proxyAddress(proxy);
    curl_easy_setopt(handle, CURLOPT_PROXY, address.c_str());
    // Empty credentials set anyway make libcurl send "Proxy-Authorization:
    // Basic Og==" to every proxy, one that wants none included.
    if (!proxy.user.empty()) {
        curl_easy_setopt(handle, CURLOPT_PROXYUSERNAME, proxy.user.c_str());
        curl_easy_setopt(handle, CURLOPT_PROXYPASSWORD, proxy.password.c_str());
    } else if (proxy.signedInUserCredentials) {
        // The schemes first: libcurl's default would be Basic. With two
        // schemes allowed nothing is sent until the proxy asks, and an empty
        // name makes SSPI take the logon of the user running the program.
        curl_easy_setopt(handle, CURLOPT_PROXYAUTH, static_cast<long>(CURLAUTH_NEGOTIATE | CURLAUTH_NTLM));
        curl_easy_setopt(handle, CURLOPT_PROXYUSERPWD, ":");
    }
}

}  // namespace

void applyProbeProxy(CURL* handle, const ProxySettings& proxy) {
    if (proxy.type == kManualProxyType && !proxy.host.empty()) applyProxy(handle, proxy);
}

void applyWorkerProxy(CURL* handle, const ProxySettings& proxy) {
    if (!proxy.host.empty()) {
        applyProxy(handle, proxy);
    } else {
        // An empty proxy also keeps proxies named in the environment away.
        curl_easy_setopt(handle, CURLOPT_PROXY, "");
    }
}

void curlCleanUp(TransferRun& run) {
    for (const curlh::EasyHandle& handle : run.ownedHandles) {
        // Removing a handle that is not in the multi handle does no harm.
        if (handle && run.multiHandle) curl_multi_remove_handle(run.multiHandle.get(), handle.get());
    }
    run.workerHandles.clear();
    run.ownedHandles.clear();
    run.multiHandle.reset();
    run.headerList.reset();
}

TransferRun::~TransferRun() { curlCleanUp(*this); }

TlsRules tlsRules(const std::string& url) {
    TlsRules rules;
#ifdef _WIN32
    rules.sslOptions = CURLSSLOPT_REVOKE_BEST_EFFORT;
#endif
    rules.redirectProtocols = boost::istarts_with(url, "https://") ? "https" : "http,https";
    return rules;
}

void applyTlsRules(CURL* handle, const std::string& url) {
    const TlsRules rules = tlsRules(url);
    if (rules.sslOptions != 0) curl_easy_setopt(handle, CURLOPT_SSL_OPTIONS, rules.sslOptions);
    curl_easy_setopt(handle, CURLOPT_REDIR_PROTOCOLS_STR, rules.redirectProtocols);
}

long waitTimeMilliseconds(long curlTimeoutMilliseconds) {
    long wait = 1000;
    if (curlTimeoutMilliseconds > 0) {
        wait = curlTimeoutMilliseconds;
        if (wait / 1000 > 1) wait = 1000;
    }
    return wait;
}

long pauseBeforeWait(ReadPacing& pacing, const TransferRun& run, const DownloadInfo& info,
                     long curlTimeoutMilliseconds, long waitMilliseconds, const std::vector<bool>& paused) {
    const auto now = ReadPacing::Clock::now();
    for (std::size_t w = 0; w < run.workers.size(); ++w) {
        const Downloader::UserPData& record = *run.workers[w];
        if (record.partIndex < 0 || !info.holdsPart(static_cast<std::int32_t>(w)) ||
            (w < paused.size() && paused[w])) {
            pacing.idle(w);
        } else {
            // A request is one transfer however many parts it covers.
            pacing.observe(now, w, record.rangeFirst, record.requestReceived, record.expectedLength);
        }
    }
    long bound = std::max(waitMilliseconds, 0L);
    if (curlTimeoutMilliseconds >= 0) bound = std::min(bound, curlTimeoutMilliseconds);
    const auto asked = pacing.pause(std::chrono::milliseconds(bound));
    if (asked <= ReadPacing::Duration::zero()) return waitMilliseconds;
    std::this_thread::sleep_for(asked);
    const auto took = std::chrono::duration_cast<ReadPacing::Duration>(ReadPacing::Clock::now() - now);
    pacing.paused(asked, took);
    const long tookMilliseconds = static_cast<long>(std::chrono::ceil<std::chrono::milliseconds>(took).count());
    return std::max(waitMilliseconds - tookMilliseconds, 0L);
}

}  // namespace transfer
