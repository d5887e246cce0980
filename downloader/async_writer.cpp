#include "downloader/async_writer.h"

#include <cstring>

DownloaderAsyncWriter::DownloaderAsyncWriter(platform::File* file) : m_file(file) {}

DownloaderAsyncWriter::~DownloaderAsyncWriter() { stop(); }

void DownloaderAsyncWriter::start() {
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_thread.joinable()) return;
    m_thread = std::thread(&DownloaderAsyncWriter::run, this);
}

void DownloaderAsyncWriter::enqueueWrite(std::int32_t offset, std::int32_t length, const SharedBytes& data) {
    // A request that cannot be placed would only put the stream into a
    // failed state and lose every later write with it.
    if (offset < 0 || length < 0 || (length > 0 && !data)) return;

    // Copied before the lock is taken, so producers never wait on each other's copies.
    SharedBytes copy = makeSharedBytes(length);
    if (length > 0) std::memcpy(copy.get(), data.get(), static_cast<std::size_t>(length));

    std::lock_guard<std::mutex> guard(m_lock);
    if (m_stopped) return;
    m_queue.push_back({std::move(copy), offset, length});
    // One waiting request does not wake the thread: writes go out in batches.
    if (m_queue.size() >= 2) m_wakeUp.notify_all();
}

std::int32_t DownloaderAsyncWriter::readBack(SharedBytes& buffer, std::int32_t offset, std::int32_t length) {
    buffer = makeSharedBytes(length);
    if (offset < 0 || length <= 0) return 0;

    std::lock_guard<std::mutex> guard(m_lock);
    if (m_file == nullptr || !m_file->isOpen()) return 0;
    // A request still waiting for its batch may cover the bytes asked for.
    writeQueuedLocked();
    // After a failed write the file lacks bytes that were handed over: no
    // read-back may vouch for them.
    if (m_writeFailed.load()) return 0;

    const std::int64_t got = m_file->readAt(offset, buffer.get(), static_cast<std::size_t>(length));
    return got < 0 ? 0 : static_cast<std::int32_t>(got);
}

void DownloaderAsyncWriter::stop() {
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_stopped = true;
        m_wakeUp.notify_all();
    }
    if (m_thread.joinable() && m_thread.get_id() != std::this_thread::get_id()) m_thread.join();
}

bool DownloaderAsyncWriter::writeFailed() const { return m_writeFailed.load(); }

void DownloaderAsyncWriter::run() {
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (m_file == nullptr || !m_file->isOpen()) return;
    }
    for (;;) {
        std::unique_lock<std::mutex> lock(m_lock);
        if (m_stopped && m_queue.empty()) return;
        // Tested under the lock, so a notify between the test and the wait
        // cannot be lost; an early wake-up just writes what is there.
        if (!m_stopped && m_queue.size() < 2) m_wakeUp.wait(lock);
        writeQueuedLocked();
    }
}

void DownloaderAsyncWriter::writeQueuedLocked() {
    if (m_queue.empty()) return;
    while (!m_queue.empty()) {
        WriteRequest request = std::move(m_queue.front());
        m_queue.pop_front();
        if (!m_file->writeAt(request.offset, request.data.get(), static_cast<std::size_t>(request.length)))
            m_writeFailed.store(true);
    }
}
