// Shared by the engine's integration tests: one Downloader run against a test
// server with a deadline, a start as the front end makes one, the part a request asked for, shortened stall bounds,
// and a loopback port whose accept queue is full (connects never complete).
#pragma once

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <fcntl.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "downloader/downloader.h"
#include "downloader/transfer_handles.h"
#include "tests/support/fault_server.h"
#include "tests/support/test_env.h"

namespace enginetest {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr std::int32_t kPart = DownloadInfo::kPartSize;

struct Outcome {
    bool ended = false;  // the thread ended before the deadline
    bool complete = false;
    DownloadResult result = DE_Success;
    DownloadResult lastRun = DE_Success;
    CURLcode lastError = CURLE_OK;
    std::chrono::milliseconds elapsed{0};
};

// A Downloader set up the way the product sets it up, writing into `dir`.
class EngineDownload {
public:
    EngineDownload(const std::filesystem::path& dir, std::int32_t fileSize, std::vector<std::string> urls,
                   const std::string& name = "out.bin")
        : dest(dir / name), state(dir / (name + ".state.txt")) {
        DownloadInfo info;
        info.setUrlSuffix("");
        info.setFileSize(fileSize);
        info.setPartSize(DownloadInfo::kPartSize);
        info.setMaxWorkers(DownloadInfo::kMaxWorkers);
        info.setUrls(urls);
        info.setFilePath(dest.wstring());
        info.save(state.wstring());
        downloader.setDownloadInfo(info);
        downloader.setTempFilePath(state.wstring());
    }

    void start() {
        m_started = Clock::now();
        downloader.beginDownload();
    }

    Outcome wait(std::chrono::milliseconds deadline = 60s) {
        Outcome outcome;
        const auto end = m_started + deadline;
        while (downloader.isDownloading() && Clock::now() < end) std::this_thread::sleep_for(5ms);
        outcome.ended = !downloader.isDownloading();
        if (!outcome.ended) downloader.stop();  // never leave a thread behind
        outcome.elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - m_started);
        outcome.complete = downloader.downloadInfo().isComplete();
        outcome.result = downloader.result();
        outcome.lastRun = downloader.lastRunResult();
        outcome.lastError = downloader.lastTransferError();
        return outcome;
    }

    Outcome run(std::chrono::milliseconds deadline = 60s) {
        start();
        return wait(deadline);
    }

    std::filesystem::path dest;
    std::filesystem::path state;
    Downloader downloader;

private:
    Clock::time_point m_started = Clock::now();
};

// A start the way the front end makes one: description, state path, probe's
// validator, then the decision (prepareStart) is the caller's.
struct Start {
    Start(const std::filesystem::path& dir, const std::string& url, const std::string& validator, std::int32_t size)
        : dest(dir / "out.bin"), state(dir / "out.bin.state") {
        DownloadInfo info;
        info.setUrlSuffix("");
        info.setFileSize(size);
        info.setPartSize(DownloadInfo::kPartSize);
        info.setMaxWorkers(DownloadInfo::kMaxWorkers);
        info.setUrls({url});
        info.setFilePath(dest.wstring());
        downloader.setDownloadInfo(info);
        downloader.setTempFilePath(state.wstring());
        downloader.setValidator(validator);
    }
    std::filesystem::path dest, state;
    Downloader downloader;
};

inline std::int32_t partOf(const testsupport::HttpRequest& request) {
    return request.range ? static_cast<std::int32_t>(request.range->first / kPart) : -1;
}

inline std::vector<testsupport::HttpRequest> gets(const testsupport::FaultServer& server) {
    std::vector<testsupport::HttpRequest> result;
    for (const auto& request : server.requests())
        if (request.method == "GET") result.push_back(request);
    return result;
}

inline std::vector<std::int32_t> partsRequested(const testsupport::FaultServer& server) {
    std::vector<std::int32_t> parts;
    for (const auto& request : gets(server)) parts.push_back(partOf(request));
    return parts;
}

inline std::int64_t count(const std::vector<std::int32_t>& parts, std::int32_t part) {
    return std::count(parts.begin(), parts.end(), part);
}

// A well-behaved range server that sends every answer `chunk` bytes at a time,
// `delay` apart: a download of many parts takes a while. `content` must
// outlive the server.
inline testsupport::Handler trickledRanges(const std::string& content, std::size_t chunk,
                                           std::chrono::milliseconds delay) {
    return [&content, chunk, delay](const testsupport::HttpRequest& request) {
        testsupport::HttpResponse response = testsupport::serveRange(request, content);
        response.trickleChunk = chunk;
        response.trickleDelay = delay;
        return response;
    };
}

// Content of `size` bytes that differs at every position and from run to run.
inline std::string contentOf(std::int64_t size, std::uint32_t seed) {
    testsupport::TempDir dir;
    testsupport::writeRandomFile(dir / "c", size, seed);
    return testsupport::readFileBytes(dir / "c");
}

// Stall tests would take half a minute each with the product's bounds.
class ShortStallBounds {
public:
    explicit ShortStallBounds(long connectSeconds = 2, long lowSpeedSeconds = 2) {
        transfer::overrideStallBoundsForTesting(transfer::StallBounds{connectSeconds, 1, lowSpeedSeconds});
    }
    ~ShortStallBounds() { transfer::overrideStallBoundsForTesting(std::nullopt); }
    ShortStallBounds(const ShortStallBounds&) = delete;
    ShortStallBounds& operator=(const ShortStallBounds&) = delete;
};

// A listening loopback socket with a backlog of one, filled by two connections
// of its own: the kernel drops every further SYN, so a connect to it neither
// completes nor fails until the client gives up.
class FullBacklogListener {
public:
    FullBacklogListener() {
        m_listener = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = 0;
        if (::bind(m_listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(m_listener, 0) != 0) {
            ADD_FAILURE() << "cannot listen on loopback";
            return;
        }
        socklen_t length = sizeof address;
        ::getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length);
        m_port = ntohs(address.sin_port);
        for (int i = 0; i < 3; ++i) {
            const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
            ::fcntl(fd, F_SETFL, O_NONBLOCK);
            ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
            m_fillers.push_back(fd);
        }
        std::this_thread::sleep_for(100ms);  // let the handshakes settle into the queue
    }
    ~FullBacklogListener() {
        for (int fd : m_fillers) ::close(fd);
        if (m_listener >= 0) ::close(m_listener);
    }
    FullBacklogListener(const FullBacklogListener&) = delete;
    FullBacklogListener& operator=(const FullBacklogListener&) = delete;

    std::uint16_t port() const { return m_port; }
    std::string url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(m_port) + "/" + path; }

private:
    int m_listener = -1;
    std::uint16_t m_port = 0;
    std::vector<int> m_fillers;
};

}  // namespace enginetest
