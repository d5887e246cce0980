// Writes finished parts into the destination file on a thread of its own, so
// that the download thread never waits for the disk; also reads back ranges
// of the same file under the same lock.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>

#include "downloader/shared_bytes.h"
#include "platform/file.h"

class DownloaderAsyncWriter {
public:
    explicit DownloaderAsyncWriter(platform::File* file);
    ~DownloaderAsyncWriter();

    DownloaderAsyncWriter(const DownloaderAsyncWriter&) = delete;
    DownloaderAsyncWriter& operator=(const DownloaderAsyncWriter&) = delete;

    void start();
    // Copies the first `length` bytes of `data` before returning.
    void enqueueWrite(std::int32_t offset, std::int32_t length, const SharedBytes& data);
    // Replaces `buffer` by a new array of `length` bytes holding the file's
    // bytes at `offset`; every request queued before the call is on disk first.
    std::int32_t readBack(SharedBytes& buffer, std::int32_t offset, std::int32_t length);
    void stop();
    // True once a write of a queued request has failed: the
    // file then lacks bytes that were handed over, whatever the queue says.
    bool writeFailed() const;

private:
    struct WriteRequest {
        SharedBytes data;
        std::int32_t offset;
        std::int32_t length;
    };

    void run();
    void writeQueuedLocked();

    platform::File* m_file;
    bool m_stopped = false;
    std::atomic<bool> m_writeFailed{false};
    std::deque<WriteRequest> m_queue;
    std::mutex m_lock;
    std::condition_variable m_wakeUp;
    std::thread m_thread;
};
