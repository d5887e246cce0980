// The bookkeeping of one stream of the whole file (a server that ignores
// Range): the stream's bytes are cut back into the description's parts, each
// part handed to the writer as the stream crosses its end, exactly as a
// verified part is. The stream walks the parts in ascending order while the
// parts still to fetch are held by workers' runs above it, so the
// description, its resume state and isComplete() stay as they are with part
// transfers.
#pragma once

#include <cstddef>
#include <cstdint>

#include "downloader/download_info.h"
#include "downloader/shared_bytes.h"

class DownloaderAsyncWriter;

namespace transfer {

class WholeStream {
public:
    WholeStream(DownloadInfo& info, DownloaderAsyncWriter& writer);
    WholeStream(const WholeStream&) = delete;
    WholeStream& operator=(const WholeStream&) = delete;

    // The first byte no part holds yet, where the next request starts (the
    // file's size once every part is in). Bytes an earlier dump kept of that
    // part are read back first, so the part can be completed from them.
    std::int32_t firstByteNeeded();
    // The body of the next answer begins at file byte `first`.
    void startAt(std::int32_t first);
    // Takes the next `size` body bytes: bytes of parts done already are
    // skipped, those of held parts gathered, and every held part the bytes
    // complete goes to the writer while its worker takes the next part.
    // False (nothing taken) when they would run past the end of the file.
    bool take(const char* data, std::size_t size);

    // Bytes of unfinished parts that are in: kept by earlier dumps, or
    // gathered by the stream (the progress beyond completedLength()).
    std::int32_t heldBytes() const;
    // Parts completed so far; the caller offers the state when it grows.
    std::int32_t partsCompleted() const { return m_partsCompleted; }
    // On the way out: the bytes gathered of the part in flight are queued
    // for writing and recorded as its worker's kept bytes, as a dump keeps
    // a worker's part. The caller syncs the writer before offering the state.
    void keepPartInFlight();

private:
    // The worker holding part `part`, -1 when none does (the part is done).
    std::int32_t holderOf(std::int32_t part) const;
    void gather(std::int32_t part, std::int32_t offset, const char* data, std::int32_t length);

    DownloadInfo& m_info;
    DownloaderAsyncWriter& m_writer;
    std::int64_t m_position = 0;  // file byte the next body byte belongs to
    std::int32_t m_part = -1;     // the part in the buffer, -1 for none
    std::int32_t m_filled = 0;    // its leading bytes in the buffer
    SharedBytes m_buffer;
    std::int32_t m_capacity = 0;
    std::int32_t m_partsCompleted = 0;
};

}  // namespace transfer
