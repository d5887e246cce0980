// Cuts a stream of the whole file back into parts; see whole_stream.h.
#include "downloader/whole_stream.h"

#include <algorithm>
#include <cstring>

#include "downloader/async_writer.h"

namespace transfer {

WholeStream::WholeStream(DownloadInfo& info, DownloaderAsyncWriter& writer) : m_info(info), m_writer(writer) {}

std::int32_t WholeStream::holderOf(std::int32_t part) const {
    const std::int32_t workers = m_info.workersCount();
    for (std::int32_t w = 0; w < workers; ++w)
        if (m_info.currentPart(w) <= part && part < m_info.runEnd(w)) return w;
    return -1;
}

std::int32_t WholeStream::firstByteNeeded() {
    const std::int32_t parts = m_info.partsCount();
    const std::int32_t workers = m_info.workersCount();
    // Parts nobody was handed yet are held before the stream walks them.
    bool held = false;
    for (std::int32_t w = 0; w < workers; ++w) held = held || m_info.holdsPart(w);
    if (!held && m_info.handedOut() < parts && workers > 0) m_info.takeRun(0, 1);

    std::int32_t lowest = parts;
    std::int32_t holder = -1;
    for (std::int32_t w = 0; w < workers; ++w) {
        const std::int32_t part = m_info.currentPart(w);
        if (m_info.holdsPart(w) && part < lowest) {
            lowest = part;
            holder = w;
        }
    }
    if (holder < 0) return m_info.fileSize();

    if (m_part != lowest) {
        m_part = lowest;
        m_filled = 0;
    }
    // Bytes a dump kept are on the disk, not in the buffer: a part completed
    // from the middle needs them to go to the writer whole.
    const std::int32_t kept = m_info.partDownloaded(holder);
    if (kept > m_filled) {
        const std::int32_t length = m_info.partLength(lowest);
        const std::int32_t got = m_writer.readBack(m_buffer, m_info.partOffset(lowest), length);
        m_capacity = length;
        m_filled = got == length ? kept : 0;
        // A later save must not claim bytes that did not read back.
        if (got != length) m_info.setPartDownloaded(holder, 0);
    }
    return m_info.partOffset(lowest) + m_filled;
}

void WholeStream::startAt(std::int32_t first) { m_position = first; }

bool WholeStream::take(const char* data, std::size_t size) {
    if (m_position + static_cast<std::int64_t>(size) > m_info.fileSize()) return false;
    const std::int32_t partSize = m_info.partSize();
    while (size > 0) {
        const auto part = static_cast<std::int32_t>(m_position / partSize);
        const auto offset = static_cast<std::int32_t>(m_position - m_info.partOffset(part));
        const auto length = static_cast<std::int32_t>(
            std::min<std::int64_t>(static_cast<std::int64_t>(size), m_info.partLength(part) - offset));
        gather(part, offset, data, length);
        m_position += length;
        data += length;
        size -= static_cast<std::size_t>(length);
    }
    return true;
}

void WholeStream::gather(std::int32_t part, std::int32_t offset, const char* data, std::int32_t length) {
    const std::int32_t holder = holderOf(part);
    if (holder < 0) return;  // done before: its bytes are on the disk already
    const std::int32_t partLength = m_info.partLength(part);
    if (m_part != part) {
        m_part = part;
        m_filled = 0;
    }
    if (!m_buffer || m_capacity < partLength) {
        const std::int32_t capacity = std::max(partLength, m_info.partSize());
        SharedBytes bigger = makeSharedBytes(capacity);
        if (m_filled > 0) std::memcpy(bigger.get(), m_buffer.get(), static_cast<std::size_t>(m_filled));
        m_buffer = std::move(bigger);
        m_capacity = capacity;
    }
    // Only bytes that continue what the buffer holds are taken: a part is
    // never handed over with a hole in it.
    const std::int32_t end = offset + length;
    if (offset <= m_filled && end > m_filled) {
        std::memcpy(m_buffer.get() + m_filled, data + (m_filled - offset), static_cast<std::size_t>(end - m_filled));
        m_filled = end;
    }
    if (m_filled < partLength || m_info.currentPart(holder) != part) return;

    m_capacity = m_writer.handOver(m_info.partOffset(part), partLength, m_buffer);
    m_info.takeNextPart(holder);
    m_part = -1;
    m_filled = 0;
    ++m_partsCompleted;
}

std::int32_t WholeStream::heldBytes() const {
    const std::int32_t parts = m_info.partsCount();
    std::int32_t held = 0;
    for (std::int32_t w = 0; w < m_info.workersCount(); ++w) {
        const std::int32_t part = m_info.currentPart(w);
        if (part >= parts || !m_info.holdsPart(w)) continue;
        held += std::max(m_info.partDownloaded(w), part == m_part ? m_filled : 0);
    }
    return held;
}

void WholeStream::keepPartInFlight() {
    if (m_part < 0) return;
    const std::int32_t holder = holderOf(m_part);
    if (holder < 0 || m_filled <= m_info.partDownloaded(holder) || m_filled >= m_info.partLength(m_part)) return;
    // Exactly the gathered bytes: whatever lies beyond them in the buffer
    // must not overwrite bytes kept on the disk.
    m_writer.enqueueWrite(m_info.partOffset(m_part), m_filled, m_buffer);
    m_info.setPartDownloaded(holder, m_filled);
}

}  // namespace transfer
