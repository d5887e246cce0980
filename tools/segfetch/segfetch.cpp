// segfetch: the download engine on its own, for scripts, tests and benchmarks.
// Probes the first URL for the size, downloads with the product's settings
// (12 workers, 512 KiB parts) over the URLs as a mirror list, shows progress
// on stderr and tells the cause of a failure through a distinct exit code.
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include <curl/curl.h>

#include <boost/format.hpp>
#include <boost/locale/encoding_utf.hpp>

#include "downloader/downloader.h"
#include "platform/arguments.h"
#include "platform/console.h"
#include "platform/system.h"
#include "platform/text.h"

namespace {

enum ExitCode : int {
    kExitComplete = 0,
    kExitIncomplete = 1,
    kExitUsage = 2,
    kExitConnection = 3,
    kExitNoSize = 4,
    kExitNotFound = 5,
    kExitGone = 6,
    kExitUnavailable = 7,
    kExitRangeIgnored = 8,
    kExitTooManyErrors = 9,
    kExitCannotWriteOutput = 10,
    kExitCannotWriteState = 11,
    kExitEngineFailure = 12,
    kExitHttpError = 13,
    kExitNotEnoughSpace = 14,
    kExitInterrupted = 130,
};

constexpr char kUsage[] =
    "usage: segfetch [--fresh] [--proxy HOST:PORT] OUTPUT URL [MIRROR...]\n"
    "\n"
    "Downloads URL to OUTPUT with up to 12 parallel range requests of 512 KiB,\n"
    "trying each MIRROR in turn when a server is unavailable (503) or fails\n"
    "too often; a server that ignores ranges (answers 200 with the whole file)\n"
    "is read as one stream instead. The size comes from a HEAD request to URL\n"
    "(the Content-Length of its final answer, redirects followed). Every part\n"
    "must come from the file version (ETag, else Last-Modified) that answer\n"
    "names. The resume state is written to OUTPUT.state; OUTPUT.state.validator\n"
    "holds the file version, the state's SHA-256 and, once complete, OUTPUT's\n"
    "SHA-256. A later start continues from them when the server still serves\n"
    "the same version (strong ETag, else Last-Modified) and OUTPUT still holds\n"
    "the kept bytes (a complete OUTPUT: the very bytes hashed, else it is\n"
    "fetched afresh).\n"
    "\n"
    "  --fresh            ignore any earlier state and fetch the whole file\n"
    "  --proxy HOST:PORT  send every request through this HTTP proxy\n"
    "  -h, --help         show this text\n"
    "\n"
    "Exit codes:\n"
    "    0  the file is complete and closed\n"
    "    1  the download ended incomplete for another reason\n"
    "    2  wrong command line (OUTPUT must be valid UTF-8)\n"
    "    3  the HEAD request failed: connection, TLS, more than 5 redirects\n"
    "       (libcurl's text is shown)\n"
    "    4  the server gave no usable size (no Content-Length, or not 1..2147483647)\n"
    "    5  the server answered 404 (not found)\n"
    "    6  the server answered 410 (gone)\n"
    "    7  the server answered 503 (unavailable), on every mirror\n"
    "    8  the server ignores range requests and its whole-file answer (200) is\n"
    "       not the file probed (another length or version)\n"
    "    9  too many failed part transfers (the last libcurl error is shown)\n"
    "   10  cannot write OUTPUT (an existing directory is never replaced)\n"
    "   11  cannot write OUTPUT.state\n"
    "   12  the download engine failed (libcurl's multi interface, or internal)\n"
    "   13  the server answered the HEAD request with another error status\n"
    "   14  not enough space for OUTPUT and OUTPUT.state (the bytes still needed\n"
    "       are shown); nothing was requested, a partial download is kept\n"
    "  130  interrupted (SIGINT or SIGTERM); the resume state is saved\n";

volatile std::sig_atomic_t g_interrupted = 0;
volatile std::sig_atomic_t g_engineStarted = 0;

extern "C" void onInterrupt(int) {
    // Before the engine runs there is nothing to save.
    if (!g_engineStarted) std::_Exit(kExitInterrupted);
    g_interrupted = 1;
}

struct Options {
    bool fresh = false;
    std::string proxy;
    std::string output;
    std::vector<std::string> urls;
};

int fail(int code, const std::string& message) {
    std::fprintf(stderr, "segfetch: %s\n", message.c_str());
    return code;
}

// nullopt-free parse: false on anything that is not a usable command line.
bool parseArguments(const std::vector<std::string>& arguments, Options& options, bool& help, std::string& error) {
    std::vector<std::string> positional;
    for (std::size_t i = 1; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (argument == "-h" || argument == "--help") {
            help = true;
            return true;
        }
        if (argument == "--fresh" && positional.empty()) {
            options.fresh = true;
        } else if (argument == "--proxy") {
            if (i + 1 >= arguments.size()) {
                error = "--proxy needs HOST:PORT";
                return false;
            }
            options.proxy = arguments[++i];
        } else if (argument.rfind("--proxy=", 0) == 0) {
            options.proxy = argument.substr(8);
        } else if (argument.size() > 1 && argument[0] == '-' && positional.empty()) {
            error = "unknown option " + argument;
            return false;
        } else {
            positional.push_back(argument);
        }
    }
    if (positional.size() < 2) {
        error = "OUTPUT and URL are required";
        return false;
    }
    options.output = positional[0];
    // A name with invalid bytes would be rewritten on its way to the file
    // system and could name another, existing file.
    try {
        (void)boost::locale::conv::utf_to_utf<wchar_t>(options.output, boost::locale::conv::stop);
    } catch (const boost::locale::conv::conversion_error&) {
        error = "OUTPUT is not valid UTF-8";
        return false;
    }
    options.urls.assign(positional.begin() + 1, positional.end());
    if (!options.proxy.empty()) {
        const std::size_t colon = options.proxy.rfind(':');
        if (colon == std::string::npos || colon == 0 || colon + 1 == options.proxy.size()) {
            error = "--proxy needs HOST:PORT";
            return false;
        }
    }
    return true;
}

ProxySettings proxySettings(const std::string& text) {
    ProxySettings proxy;
    if (text.empty()) return proxy;
    const std::size_t colon = text.rfind(':');
    proxy.type = kManualProxyType;
    proxy.host = text.substr(0, colon);
    proxy.port = text.substr(colon + 1);
    return proxy;
}

const HeaderRecord* lastOfKind(const HeaderList& headers, HeaderKind kind) {
    const HeaderRecord* found = nullptr;
    for (const HeaderRecord& record : headers)
        if (record.kind == kind) found = &record;
    return found;
}

std::string humanBytes(double bytes) {
    static const char* const units[] = {"B", "KiB", "MiB", "GiB"};
    int unit = 0;
    while (bytes >= 1024.0 && unit < 3) {
        bytes /= 1024.0;
        ++unit;
    }
    return unit == 0 ? (boost::format("%.0f %s") % bytes % units[unit]).str()
                     : (boost::format("%.1f %s") % bytes % units[unit]).str();
}

std::string humanDuration(double seconds) {
    if (seconds < 0 || seconds > 359999) return "--:--";
    const auto total = static_cast<long>(seconds + 0.5);
    if (total >= 3600) return (boost::format("%d:%02d:%02d") % (total / 3600) % (total / 60 % 60) % (total % 60)).str();
    return (boost::format("%d:%02d") % (total / 60) % (total % 60)).str();
}

// Speed over the last few seconds, so that the figure follows the transfer.
class ProgressMeter {
public:
    using Clock = std::chrono::steady_clock;

    ProgressMeter(std::int64_t total, bool terminal) : m_total(total), m_terminal(terminal) {}

    void update(std::int64_t done, bool final) {
        const Clock::time_point now = Clock::now();
        m_samples.emplace_back(now, done);
        while (m_samples.size() > 2 && now - m_samples.front().first > std::chrono::seconds(3)) m_samples.pop_front();

        const auto period = m_terminal ? std::chrono::milliseconds(200) : std::chrono::milliseconds(3000);
        if (!final && m_shown && now - m_lastShown < period) return;
        m_lastShown = now;
        m_shown = true;

        double speed = 0;
        const auto& [firstTime, firstDone] = m_samples.front();
        const double seconds = std::chrono::duration<double>(now - firstTime).count();
        if (seconds > 0) speed = static_cast<double>(done - firstDone) / seconds;
        const double percent = m_total > 0 ? 100.0 * static_cast<double>(done) / static_cast<double>(m_total) : 100.0;
        const double left = speed > 0 ? static_cast<double>(m_total - done) / speed : -1;

        const std::string line = (boost::format("%5.1f%%  %s / %s  %s/s  ETA %s") % percent %
                                  humanBytes(static_cast<double>(done)) % humanBytes(static_cast<double>(m_total)) %
                                  humanBytes(speed) % (final ? std::string("0:00") : humanDuration(left)))
                                     .str();
        if (m_terminal) {
            std::fprintf(stderr, "\r\x1b[K%s", line.c_str());
            if (final) std::fputc('\n', stderr);
        } else {
            std::fprintf(stderr, "segfetch: %s\n", line.c_str());
        }
        std::fflush(stderr);
    }

    void finishLine() {
        if (m_terminal && m_shown) {
            std::fputc('\n', stderr);
            std::fflush(stderr);
        }
    }

private:
    std::int64_t m_total;
    bool m_terminal;
    bool m_shown = false;
    Clock::time_point m_lastShown{};
    std::deque<std::pair<Clock::time_point, std::int64_t>> m_samples;
};

std::string transferErrorText(const Downloader& downloader) {
    const CURLcode code = downloader.lastTransferError();
    if (code == CURLE_OK) return "the server's answers were wrong (status, length, range or file version)";
    return (boost::format("last libcurl error %d: %s") % static_cast<int>(code) % curl_easy_strerror(code)).str();
}

int judge(Downloader& downloader, const Options& options) {
    if (downloader.destinationWriteFailed())
        return fail(kExitCannotWriteOutput, "cannot write " + options.output + " (a write to it failed)");
    if (downloader.downloadInfo().isComplete() && downloader.result() == DE_Success) return kExitComplete;

    switch (downloader.result()) {
    case DE_AllocateDestFileError:
    case DE_OpenDestFileError:
        return fail(kExitCannotWriteOutput, "cannot write " + options.output);
    case DE_SaveResumeStateError:
        return fail(kExitCannotWriteState, "cannot write " + options.output + ".state");
    case DE_NotEnoughSpace:
        return fail(kExitNotEnoughSpace,
                    (boost::format("not enough space: %d bytes more needed") % downloader.spaceNeeded()).str());
    case DE_InternalError:
        return fail(kExitEngineFailure, "the download engine failed unexpectedly");
    default:
        break;
    }
    switch (downloader.lastRunResult()) {
    case DE_HttpNotFound:
        return fail(kExitNotFound, "server answered 404 (not found)");
    case DE_HttpGone:
        return fail(kExitGone, "server answered 410 (gone)");
    case DE_HttpServiceUnavailable:
        return fail(kExitUnavailable, "server answered 503 (unavailable) on every mirror");
    case DE_RangeIgnored:
        return fail(kExitRangeIgnored,
                    "server ignores range requests and answered 200 with another length or version of the file");
    case DE_TooManyErrors:
        return fail(kExitTooManyErrors, "too many errors; " + transferErrorText(downloader));
    case DE_CurlMultiError:
        return fail(kExitEngineFailure, "libcurl's multi interface failed");
    case DE_Stopped:
        return fail(kExitInterrupted, "interrupted");
    default:
        return fail(kExitIncomplete, "the download ended incomplete");
    }
}

int run(const Options& options) {
    const ProxySettings proxy = proxySettings(options.proxy);
    const std::wstring output = platform::fromUtf8(options.output);

    // The engine refuses a directory too, but only after the probe and with
    // a message that does not say why; this says it before any request.
    std::error_code error;
    if (std::filesystem::is_directory(platform::nativePath(output), error))
        return fail(kExitCannotWriteOutput, "cannot write " + options.output + " (it is a directory)");

    HeaderList headers;
    std::string probeError;
    const CURLcode probe = requestHeaders(options.urls.front(), {}, proxy, headers, probeError);
    if (probe == CURLE_TOO_MANY_REDIRECTS)
        return fail(kExitConnection, (boost::format("too many redirects: %s (libcurl error %d)") % probeError %
                                      static_cast<int>(probe))
                                         .str());
    if (probe != CURLE_OK)
        return fail(kExitConnection, (boost::format("connection failure: %s (libcurl error %d)") % probeError %
                                      static_cast<int>(probe))
                                         .str());

    // The records are those of the final answer of the redirect chain.
    if (const HeaderRecord* status = lastOfKind(headers, HK_Status)) {
        const std::string& code = status->value;
        if (code == "404") return fail(kExitNotFound, "server answered 404 (not found)");
        if (code == "410") return fail(kExitGone, "server answered 410 (gone)");
        if (code == "503") return fail(kExitUnavailable, "server answered 503 (unavailable)");
        if (code.empty() || code[0] != '2') return fail(kExitHttpError, "server answered " + code);
    }
    const HeaderRecord* length = lastOfKind(headers, HK_ContentLength);
    const std::int32_t size = length != nullptr ? parseContentLength(length->value) : -1;
    if (size < 1) return fail(kExitNoSize, "server gave no usable size (Content-Length)");

    const std::wstring statePath = output + L".state";

    DownloadInfo info;
    info.setUrlSuffix("");
    info.setFileSize(size);
    info.setPartSize(DownloadInfo::kPartSize);
    info.setMaxWorkers(DownloadInfo::kMaxWorkers);
    info.setUrls(options.urls);
    info.setFilePath(output);

    Downloader downloader;
    downloader.setProxy(proxy);
    downloader.setDownloadInfo(info);
    downloader.setTempFilePath(statePath);
    downloader.setValidator(responseValidator(headers));
    if (downloader.prepareStart(!options.fresh))
        std::fprintf(stderr, "segfetch: continuing the earlier download (%d of %d bytes kept)\n",
                     static_cast<int>(downloader.downloadInfo().completedLength()), static_cast<int>(size));

    ProgressMeter meter(size, platform::standardErrorIsTerminal());
    g_engineStarted = 1;
    downloader.beginDownload();
    // The meter is redrawn every 50 ms; the end of the run cuts the wait short.
    do {
        if (g_interrupted) {
            downloader.stop();  // the engine dumps its unfinished parts and saves the state
            meter.finishLine();
            return fail(kExitInterrupted, "interrupted; resume state saved to " + options.output + ".state");
        }
        meter.update(downloader.progressLength(), false);
    } while (!downloader.waitForEnd(std::chrono::milliseconds(50)));
    if (g_interrupted) {
        meter.finishLine();
        return fail(kExitInterrupted, "interrupted; resume state saved to " + options.output + ".state");
    }

    const int code = judge(downloader, options);
    if (code == kExitComplete) {
        meter.update(size, true);
    } else {
        meter.finishLine();
    }
    return code;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> arguments = platform::commandLineArguments(argc, argv);
    Options options;
    bool help = false;
    std::string error;
    if (!parseArguments(arguments, options, help, error)) {
        std::fprintf(stderr, "segfetch: %s\n%s", error.c_str(), kUsage);
        return kExitUsage;
    }
    if (help) {
        std::fputs(kUsage, stdout);
        return kExitComplete;
    }

    platform::ignoreWriteErrorSignals();
    std::signal(SIGINT, onInterrupt);
    std::signal(SIGTERM, onInterrupt);

    curl_global_init(CURL_GLOBAL_ALL);
    const int code = run(options);
    curl_global_cleanup();
    return code;
}
