#include "downloader/async_writer.h"

#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

// Free pooled buffers. Kept apart from the writer and shared with every
// pooled buffer, so a buffer that outlives the writer still has somewhere to go.
struct DownloaderAsyncWriter::Pool {
    std::mutex lock;
    std::condition_variable freed;
    std::vector<char*> free;
    std::int32_t allocated = 0;

    ~Pool() {
        for (char* buffer : free) delete[] buffer;
    }
};

namespace {

// Deleter of a pooled buffer: back to the free list instead of to the
// allocator, so a recycled part buffer costs neither a fresh mapping nor its
// page faults.
template <typename Pool>
struct ReturnToPool {
    std::shared_ptr<Pool> pool;
    void operator()(char* buffer) const {
        {
            std::lock_guard<std::mutex> guard(pool->lock);
            pool->free.push_back(buffer);
        }
        pool->freed.notify_one();
    }
};

// Rechecks what holds the pooled buffers this often while waiting for one:
// a buffer the caller itself still holds elsewhere never comes back.
constexpr std::chrono::milliseconds kPoolRecheck{50};

// How often written parts are flushed to the disk: each flush lets the resume
// state claim what it covers.
constexpr std::chrono::milliseconds kSyncPeriod{250};

}  // namespace

DownloaderAsyncWriter::DownloaderAsyncWriter(platform::File* file) : DownloaderAsyncWriter(file, Settings{}) {}

DownloaderAsyncWriter::DownloaderAsyncWriter(platform::File* file, Settings settings)
    : m_file(file), m_settings(settings), m_pool(std::make_shared<Pool>()) {}

DownloaderAsyncWriter::~DownloaderAsyncWriter() { stop(); }

void DownloaderAsyncWriter::start() {
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_thread.joinable() || m_stopped) return;
    // A writer without an open file has nothing to write to: its thread ends
    // at once.
    m_running = m_file != nullptr && m_file->isOpen();
    m_thread = std::thread(&DownloaderAsyncWriter::run, this);
}

void DownloaderAsyncWriter::enqueueWrite(std::int32_t offset, std::int32_t length, const SharedBytes& data) {
    // A request that cannot be placed would only write bytes where they do
    // not belong.
    if (offset < 0 || length < 0 || (length > 0 && !data)) return;

    // Copied before the lock is taken, so producers never wait on each other's copies.
    SharedBytes copy = makeSharedBytes(length);
    if (length > 0) std::memcpy(copy.get(), data.get(), static_cast<std::size_t>(length));
    queue({std::move(copy), offset, length});
}

std::int32_t DownloaderAsyncWriter::handOver(std::int32_t offset, std::int32_t length, SharedBytes& buffer) {
    SharedBytes filled = std::move(buffer);
    if (offset >= 0 && length >= 0 && (length == 0 || filled)) queue({std::move(filled), offset, length});
    filled.reset();
    buffer = takeBuffer();
    return m_settings.bufferSize;
}

void DownloaderAsyncWriter::queue(WriteRequest request) {
    std::unique_lock<std::mutex> lock(m_lock);
    if (m_stopped) {
        // Dropped; its buffer goes back outside the lock.
        lock.unlock();
        return;
    }
    m_queue.push_back(std::move(request));
    ++m_queuedCount;
    // One waiting request does not wake the thread: writes go out in batches.
    if (m_queue.size() >= 2) m_wakeUp.notify_all();
}

SharedBytes DownloaderAsyncWriter::takeBuffer() {
    const auto size = static_cast<std::size_t>(std::max<std::int32_t>(m_settings.bufferSize, 1));
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(m_pool->lock);
            if (!m_pool->free.empty()) {
                char* buffer = m_pool->free.back();
                m_pool->free.pop_back();
                return SharedBytes(buffer, ReturnToPool<Pool>{m_pool});
            }
            if (m_pool->allocated < m_settings.bufferCount) {
                ++m_pool->allocated;
                lock.unlock();
                // Zeroed, so that a dumped part never carries stale memory into the file.
                return SharedBytes(new char[size](), ReturnToPool<Pool>{m_pool});
            }
        }
        // Every pooled buffer is out. Those waiting for the disk come back
        // once written; the download waits for them rather than grow.
        if (!hurry()) {
            // Nothing is queued: the buffers are all held by their takers,
            // and waiting would never end. Such a caller gets one outside the pool.
            return SharedBytes(new char[size]());
        }
        std::unique_lock<std::mutex> lock(m_pool->lock);
        m_pool->freed.wait_for(lock, kPoolRecheck, [this] { return !m_pool->free.empty(); });
    }
}

std::int32_t DownloaderAsyncWriter::buffersAllocated() const {
    std::lock_guard<std::mutex> guard(m_pool->lock);
    return m_pool->allocated;
}

bool DownloaderAsyncWriter::hurry() {
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_writtenCount == m_queuedCount) return false;
    if (m_running) {
        m_hurry = true;
        m_wakeUp.notify_all();
    } else {
        writeQueueHereLocked();
    }
    return true;
}

std::int32_t DownloaderAsyncWriter::readBack(SharedBytes& buffer, std::int32_t offset, std::int32_t length) {
    if (offset < 0 || length <= 0) {
        buffer = makeSharedBytes(length);
        return 0;
    }
    SharedBytes fresh = length <= m_settings.bufferSize ? takeBuffer() : makeSharedBytes(length);
    buffer = fresh;

    std::unique_lock<std::mutex> lock(m_lock);
    if (m_file == nullptr || !m_file->isOpen()) return 0;
    // A request still waiting for its batch may cover the bytes asked for.
    drainLocked(lock);
    // After a failed write the file lacks bytes that were handed over: no
    // read-back may vouch for them.
    if (m_writeFailed.load()) return 0;

    const std::int64_t got = m_file->readAt(offset, fresh.get(), static_cast<std::size_t>(length));
    return got < 0 ? 0 : static_cast<std::int32_t>(got);
}

void DownloaderAsyncWriter::drainLocked(std::unique_lock<std::mutex>& lock) {
    const std::uint64_t target = m_queuedCount;
    if (m_running && m_writtenCount < target) {
        m_hurry = true;
        m_wakeUp.notify_all();
        m_written.wait(lock, [&] { return m_writtenCount >= target || !m_running; });
    }
    // No writer thread (never started, or already stopped): written here.
    if (m_writtenCount < target) writeQueueHereLocked();
}

void DownloaderAsyncWriter::writeQueueHereLocked() {
    // Only while no writer thread runs, so these writes never race its batch.
    const bool open = m_file != nullptr && m_file->isOpen();
    while (!m_queue.empty()) {
        WriteRequest request = std::move(m_queue.front());
        m_queue.pop_front();
        // Without an open file nothing can be written; the bytes are let go
        // rather than kept for a thread that will never come.
        if (open) writeOne(request);
        ++m_writtenCount;
    }
    m_written.notify_all();
}

void DownloaderAsyncWriter::stop() {
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_stopped = true;
        m_wakeUp.notify_all();
    }
    if (m_thread.joinable() && m_thread.get_id() != std::this_thread::get_id()) m_thread.join();
    syncNow();
}

std::uint64_t DownloaderAsyncWriter::queuedCount() {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_queuedCount;
}

std::uint64_t DownloaderAsyncWriter::syncNow() {
    std::uint64_t written = 0;
    {
        std::unique_lock<std::mutex> lock(m_lock);
        drainLocked(lock);
        written = m_writtenCount;
    }
    syncUpTo(written);
    return m_durableCount.load();
}

void DownloaderAsyncWriter::syncUpTo(std::uint64_t written) {
    const std::lock_guard<std::mutex> guard(m_syncLock);
    if (written <= m_durableCount.load() || m_writeFailed.load()) return;
    if (m_file == nullptr || !m_file->isOpen()) return;
    // A flush that fails (an I/O error, or space that a file system only
    // finds missing now) loses written bytes as surely as a failed write.
    if (!m_file->sync()) {
        markWriteFailed();
        return;
    }
    // Checked again after the flush: a write that failed meanwhile left a hole
    // below `written`.
    if (!m_writeFailed.load()) m_durableCount.store(written);
}

bool DownloaderAsyncWriter::writeFailed() const { return m_writeFailed.load(); }

void DownloaderAsyncWriter::writeOne(const WriteRequest& request) {
    if (m_settings.writeDelay.count() > 0) std::this_thread::sleep_for(m_settings.writeDelay);
    if (!m_file->writeAt(request.offset, request.data.get(), static_cast<std::size_t>(request.length)))
        markWriteFailed();
}

void DownloaderAsyncWriter::markWriteFailed() {
    if (!m_writeFailed.exchange(true) && m_settings.onWriteFailure) m_settings.onWriteFailure();
}

void DownloaderAsyncWriter::run() {
    std::deque<WriteRequest> batch;
    std::unique_lock<std::mutex> lock(m_lock);
    if (!m_running) return;
    auto lastSync = std::chrono::steady_clock::now();
    for (;;) {
        // Tested under the lock, so a notify between the test and the wait
        // cannot be lost. The time bound lets a lone request reach the disk
        // and the flush happen a few times a second.
        const bool woken =
            m_wakeUp.wait_for(lock, kSyncPeriod, [this] { return m_stopped || m_hurry || m_queue.size() >= 2; });
        m_hurry = false;
        const auto now = std::chrono::steady_clock::now();
        if ((!woken || now - lastSync >= kSyncPeriod) && m_writtenCount > m_durableCount.load()) {
            const std::uint64_t written = m_writtenCount;
            lastSync = now;
            lock.unlock();
            syncUpTo(written);
            lock.lock();
        }
        if (m_queue.empty()) {
            if (!m_stopped) continue;
            m_running = false;
            m_written.notify_all();
            return;
        }
        batch.swap(m_queue);
        const auto count = batch.size();

        // Positional writes outside the lock: the download thread can queue
        // the next part meanwhile. Batches are written one after the other,
        // in queue order, so a later request still wins where two overlap.
        lock.unlock();
        for (const WriteRequest& request : batch) writeOne(request);
        batch.clear();  // the buffers go back to the pool
        lock.lock();

        m_writtenCount += count;
        m_written.notify_all();
    }
}
