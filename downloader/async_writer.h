// Writes finished parts into the destination file on a thread of its own, so
// that the download thread never waits for the disk; also reads back ranges
// of the same file.
//
// Part buffers travel without copies: the download thread hands a filled
// buffer over (handOver) and gets a free one from the writer's pool in its
// place. The pool is bounded, so when the disk is slower than the network the
// download thread waits for a buffer to come back instead of growing memory.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "downloader/shared_bytes.h"
#include "platform/file.h"

class DownloaderAsyncWriter {
public:
    struct Settings {
        // Size of every pooled buffer: the part size of the download.
        std::int32_t bufferSize = 524288;
        // Most pooled buffers alive at once: one per worker plus a few that
        // may wait for the disk.
        std::int32_t bufferCount = 16;
        // Added before every write: lets tests play a disk slower than the network.
        std::chrono::milliseconds writeDelay{0};
        // Called once, on the thread that met it, when the first write fails.
        std::function<void()> onWriteFailure;
    };

    explicit DownloaderAsyncWriter(platform::File* file);
    DownloaderAsyncWriter(platform::File* file, Settings settings);
    ~DownloaderAsyncWriter();

    DownloaderAsyncWriter(const DownloaderAsyncWriter&) = delete;
    DownloaderAsyncWriter& operator=(const DownloaderAsyncWriter&) = delete;

    void start();
    // Copies the first `length` bytes of `data` before returning.
    void enqueueWrite(std::int32_t offset, std::int32_t length, const SharedBytes& data);
    // Queues the first `length` bytes of `buffer` without copying them and
    // leaves a free pooled buffer in its place (waiting while none is free);
    // returns the new buffer's capacity. Nobody else may hold `buffer`.
    std::int32_t handOver(std::int32_t offset, std::int32_t length, SharedBytes& buffer);
    // A free pooled buffer of bufferSize() bytes; waits while none is free.
    SharedBytes takeBuffer();
    std::int32_t bufferSize() const { return m_settings.bufferSize; }
    // Pooled buffers allocated so far; never more than Settings::bufferCount.
    std::int32_t buffersAllocated() const;

    // Replaces `buffer` by a new array of `length` bytes holding the file's
    // bytes at `offset`; every request queued before the call is on disk first.
    std::int32_t readBack(SharedBytes& buffer, std::int32_t offset, std::int32_t length);
    // Stops the writer; every request queued before is written and synced first.
    void stop();

    // Requests are numbered in queue order from 1. queuedCount() is the number
    // of the last one queued; durableCount() the highest number up to which
    // every request has been written and flushed to the disk. The writer
    // flushes on its own about four times a second while it has written anything
    // new, and at stop; syncNow() writes and flushes everything queued before
    // the call and waits for it. A failed write or flush never advances
    // durableCount(), so whoever claims bytes only up to it never claims bytes
    // the disk may lack.
    std::uint64_t queuedCount();
    std::uint64_t durableCount() const { return m_durableCount.load(); }
    std::uint64_t syncNow();

    // True once a write of a queued request or a flush has failed: the
    // file then lacks bytes that were handed over, whatever the queue says.
    bool writeFailed() const;

private:
    struct WriteRequest {
        SharedBytes data;
        std::int32_t offset;
        std::int32_t length;
    };
    struct Pool;

    void queue(WriteRequest request);
    void run();
    // Has requests queued so far written soon (by the writer thread, or here
    // when it does not run); false when nothing is queued or being written.
    bool hurry();
    // Returns once every request queued before the call is written; called
    // with the lock held.
    void drainLocked(std::unique_lock<std::mutex>& lock);
    void writeQueueHereLocked();
    void writeOne(const WriteRequest& request);
    void markWriteFailed();
    // Flushes the file and records `written` as durable; called without the lock.
    void syncUpTo(std::uint64_t written);

    platform::File* m_file;
    const Settings m_settings;
    std::shared_ptr<Pool> m_pool;

    // Guards everything below. Writes happen outside it, so a producer only
    // waits for the disk when it asks to (readBack) or the pool is empty.
    std::mutex m_lock;
    std::condition_variable m_wakeUp;   // the writer thread: work, hurry or stop
    std::condition_variable m_written;  // waiters for requests to reach the disk
    bool m_stopped = false;
    bool m_running = false;  // the writer thread is writing requests
    bool m_hurry = false;    // someone waits: write even a single request
    std::deque<WriteRequest> m_queue;
    std::uint64_t m_queuedCount = 0;   // requests ever queued
    std::uint64_t m_writtenCount = 0;  // requests ever written or dropped
    std::atomic<bool> m_writeFailed{false};
    std::atomic<std::uint64_t> m_durableCount{0};
    std::mutex m_syncLock;  // one flush at a time, so durableCount() never goes back
    std::thread m_thread;
};
