#include "downloader/async_writer.h"

#include <cstring>

DownloaderAsyncWriter::DownloaderAsyncWriter(std::fstream* stream) : m_stream(stream) {}

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
    if (m_stream == nullptr || !m_stream->is_open()) return 0;
    // A request still waiting for its batch may cover the bytes asked for.
    writeQueuedLocked();
    // A stream that a failed write left in its failed state stays that way,
    // so the failure remains visible to whoever owns the stream.
    if (!*m_stream) return 0;

    m_stream->seekg(static_cast<std::streamoff>(offset), std::ios::beg);
    m_stream->read(buffer.get(), length);
    const auto got = static_cast<std::int32_t>(m_stream->gcount());
    // A read past the end sets eof and fail; left that way, every later
    // write would be dropped without a trace.
    if (!*m_stream) m_stream->clear();
    return got;
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
        if (m_stream == nullptr || !m_stream->is_open()) return;
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
        m_stream->seekp(static_cast<std::streamoff>(request.offset), std::ios::beg);
        m_stream->write(request.data.get(), request.length);
        if (!*m_stream) m_writeFailed.store(true);
    }
    m_stream->flush();
    if (!*m_stream) m_writeFailed.store(true);
}
