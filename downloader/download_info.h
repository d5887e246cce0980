// The download description: what to fetch, where to put it, how it is cut
// into parts and which run of parts each worker holds. Also what the
// resume-state file stores.
//
// Parts are handed out in ascending order, as runs of consecutive parts: a
// worker holds the parts from its current part up to its run's end. Every
// part below the highest run end that no worker holds is done.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

class DownloadInfo {
public:
    static constexpr std::int32_t kWorkerSlots = 30;
    static constexpr std::int32_t kPartSize = 524288;
    static constexpr std::int32_t kMaxWorkers = 12;

    DownloadInfo();
    DownloadInfo(const DownloadInfo& other);
    DownloadInfo& operator=(const DownloadInfo& other);

    void setUrlSuffix(const std::string& suffix);
    void setFileSize(std::int32_t size);
    void setPartSize(std::int32_t ignored);   // always kPartSize
    void setMaxWorkers(std::int32_t ignored); // always kMaxWorkers, then resetWorkers()
    void setUrls(const std::vector<std::string>& urls);
    void setFilePath(const std::wstring& path);

    std::string urlSuffix() const;
    std::string fileTag() const;
    std::wstring filePath() const;
    std::int32_t partSize() const;
    std::int32_t fileSize() const;
    std::int32_t maxWorkers() const;
    std::vector<std::string>& urls();
    const std::vector<std::string>& urls() const;

    bool isValid() const;
    std::int32_t partsCount() const;
    std::int32_t workersCount() const;
    std::int32_t partLength(std::int32_t part) const;
    std::int32_t partOffset(std::int32_t part) const;
    // Parts handed out so far: every part below this is done or held.
    std::int32_t handedOut() const;

    // Per-worker entries; safe to read from another thread while the
    // download thread advances them.
    std::int32_t currentPart(std::int32_t worker) const;
    // One past the last part of the worker's run; equal to currentPart()
    // when the worker holds nothing.
    std::int32_t runEnd(std::int32_t worker) const;
    bool holdsPart(std::int32_t worker) const;
    std::int32_t partDownloaded(std::int32_t worker) const;
    void setPartDownloaded(std::int32_t worker, std::int32_t bytes);
    // Worker w's current part is done: it moves to the next part of its run,
    // or holds nothing once the run is done.
    void finishPart(std::int32_t worker);
    // Worker w, holding nothing, takes the next `parts` parts nobody has been
    // handed (fewer at the end of the file; none once all are handed out).
    void takeRun(std::int32_t worker, std::int32_t parts);
    // finishPart, and a worker whose run is done takes the next part nobody
    // has been handed, so the parts still to fetch stay held ahead of a
    // stream that walks them in order.
    void takeNextPart(std::int32_t worker);
    // Holds nothing and nothing is left to hand out.
    bool isWorkerFinished(std::int32_t worker) const;
    bool isComplete() const;
    // A fresh start: nothing handed out, every worker holding nothing.
    void resetWorkers();
    std::int32_t completedLength() const;
    bool hasAnyProgress() const;

    // The resume-state file's bytes (binary, little-endian, UTF-16 path),
    // in the newest format.
    std::string serialize() const;
    // Replaces the resume-state file atomically by serialize()'s bytes.
    bool save(const std::wstring& path) const;
    // Reads serialize()'s bytes back, or those of the format before runs (a
    // worker held one part then); false unless they parse completely and
    // exactly and describe a consistent download (sizes, worker count, part
    // indices, runs that do not overlap, kept counts in range). Leaves *this
    // unchanged on false.
    bool parse(const std::string& bytes);
    // Same URLs, URL suffix, file tag, destination, part size, worker limit
    // and file size: the worker entries of one apply to the other.
    bool describesSameDownload(const DownloadInfo& other) const;

private:
    std::string m_urlSuffix;
    std::string m_fileTag;
    std::wstring m_filePath;
    std::int32_t m_partSize = -1;
    std::int32_t m_fileSize = -1;
    std::int32_t m_maxWorkers = -1;
    std::array<std::atomic<std::int32_t>, kWorkerSlots> m_partDownloaded{};
    std::array<std::atomic<std::int32_t>, kWorkerSlots> m_currentPart{};
    std::array<std::atomic<std::int32_t>, kWorkerSlots> m_runEnd{};
    std::vector<std::string> m_urls;
};
