#include "downloader/download_info.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "platform/file.h"
#include "platform/text.h"

namespace {

constexpr std::int32_t kInt32Max = std::numeric_limits<std::int32_t>::max();

bool isWorkerSlot(std::int32_t worker) { return worker >= 0 && worker < DownloadInfo::kWorkerSlots; }

// The resume-state file is little-endian whatever the host is, so every value
// is taken apart byte by byte instead of being written from memory.
class LittleEndianWriter {
public:
    explicit LittleEndianWriter(std::string& out) : m_out(out) {}

    bool int32(std::int32_t value) {
        const auto bits = static_cast<std::uint32_t>(value);
        const char bytes[4] = {static_cast<char>(bits & 0xFF), static_cast<char>((bits >> 8) & 0xFF),
                               static_cast<char>((bits >> 16) & 0xFF), static_cast<char>((bits >> 24) & 0xFF)};
        return put(bytes, sizeof bytes);
    }

    bool narrow(const std::string& text) {
        if (text.size() > static_cast<std::size_t>(kInt32Max)) return false;
        if (!int32(static_cast<std::int32_t>(text.size()))) return false;
        return text.empty() || put(text.data(), text.size());
    }

    // Paths go out as UTF-16 code units on every platform, so a character
    // outside the basic plane counts as two.
    bool wide(const std::wstring& text) {
        const std::u16string units = platform::toUtf16(text);
        if (units.size() > static_cast<std::size_t>(kInt32Max / 2)) return false;
        if (!int32(static_cast<std::int32_t>(units.size()))) return false;
        if (units.empty()) return true;
        std::string bytes(units.size() * 2, '\0');
        for (std::size_t i = 0; i < units.size(); ++i) {
            bytes[2 * i] = static_cast<char>(units[i] & 0xFF);
            bytes[2 * i + 1] = static_cast<char>((units[i] >> 8) & 0xFF);
        }
        return put(bytes.data(), bytes.size());
    }

private:
    bool put(const char* data, std::size_t size) {
        m_out.append(data, size);
        return true;
    }

    std::string& m_out;
};

}  // namespace

DownloadInfo::DownloadInfo() = default;

DownloadInfo::DownloadInfo(const DownloadInfo& other) { *this = other; }

DownloadInfo& DownloadInfo::operator=(const DownloadInfo& other) {
    if (this == &other) return *this;
    m_urlSuffix = other.m_urlSuffix;
    m_fileTag = other.m_fileTag;
    m_filePath = other.m_filePath;
    m_partSize = other.m_partSize;
    m_fileSize = other.m_fileSize;
    m_maxWorkers = other.m_maxWorkers;
    for (std::int32_t w = 0; w < kWorkerSlots; ++w) {
        m_partDownloaded[w].store(other.m_partDownloaded[w].load());
        m_currentPart[w].store(other.m_currentPart[w].load());
    }
    m_urls = other.m_urls;
    return *this;
}

void DownloadInfo::setUrlSuffix(const std::string& suffix) { m_urlSuffix = suffix; }
void DownloadInfo::setFileSize(std::int32_t size) { m_fileSize = size; }
void DownloadInfo::setPartSize(std::int32_t) { m_partSize = kPartSize; }

void DownloadInfo::setMaxWorkers(std::int32_t) {
    m_maxWorkers = kMaxWorkers;
    resetWorkers();
}

void DownloadInfo::setUrls(const std::vector<std::string>& urls) { m_urls = urls; }
void DownloadInfo::setFilePath(const std::wstring& path) { m_filePath = path; }

std::string DownloadInfo::urlSuffix() const { return m_urlSuffix; }
std::string DownloadInfo::fileTag() const { return m_fileTag; }
std::wstring DownloadInfo::filePath() const { return m_filePath; }
std::int32_t DownloadInfo::partSize() const { return m_partSize; }
std::int32_t DownloadInfo::fileSize() const { return m_fileSize; }
std::int32_t DownloadInfo::maxWorkers() const { return m_maxWorkers; }
std::vector<std::string>& DownloadInfo::urls() { return m_urls; }
const std::vector<std::string>& DownloadInfo::urls() const { return m_urls; }

bool DownloadInfo::isValid() const { return !m_urls.empty() && !m_filePath.empty() && m_fileSize > 0; }

std::int32_t DownloadInfo::partsCount() const {
    // A description that was never filled in (sizes -1) or an empty file has
    // no parts; this also keeps every division below away from zero.
    if (m_partSize <= 0 || m_fileSize <= 0) return 0;
    return static_cast<std::int32_t>(std::ceil(static_cast<double>(m_fileSize) / static_cast<double>(m_partSize)));
}

std::int32_t DownloadInfo::workersCount() const {
    const std::int32_t parts = partsCount();
    const std::int32_t workers = parts < m_maxWorkers ? parts : m_maxWorkers;
    // Only kWorkerSlots entries exist, and a negative limit means no workers.
    return std::clamp(workers, 0, kWorkerSlots);
}

std::int32_t DownloadInfo::partLength(std::int32_t part) const {
    if (m_partSize <= 0) return 0;
    if (part == partsCount() - 1) {
        const std::int32_t rest = m_fileSize % m_partSize;
        if (rest != 0) return rest;
    }
    return m_partSize;
}

std::int32_t DownloadInfo::partOffset(std::int32_t part) const {
    // A finished worker's index lies past the last part; its offset can pass
    // the 32-bit range for files near 2 GiB, so it saturates instead of wrapping.
    const std::int64_t offset = static_cast<std::int64_t>(part) * m_partSize;
    return static_cast<std::int32_t>(std::clamp<std::int64_t>(offset, std::numeric_limits<std::int32_t>::min(), kInt32Max));
}

std::int32_t DownloadInfo::maxCurrentPart() const {
    const std::int32_t workers = workersCount();
    std::int32_t highest = -1;
    for (std::int32_t w = 0; w < workers; ++w) highest = std::max(highest, m_currentPart[w].load());
    return highest;
}

std::int32_t DownloadInfo::currentPart(std::int32_t worker) const {
    return isWorkerSlot(worker) ? m_currentPart[worker].load() : 0;
}

std::int32_t DownloadInfo::partDownloaded(std::int32_t worker) const {
    return isWorkerSlot(worker) ? m_partDownloaded[worker].load() : 0;
}

void DownloadInfo::setPartDownloaded(std::int32_t worker, std::int32_t bytes) {
    if (isWorkerSlot(worker)) m_partDownloaded[worker].store(bytes);
}

void DownloadInfo::takeNextPart(std::int32_t worker) {
    if (!isWorkerSlot(worker)) return;
    // Parts are handed out in ascending order to whichever worker asks first.
    m_currentPart[worker].store(maxCurrentPart() + 1);
    m_partDownloaded[worker].store(0);
}

bool DownloadInfo::isWorkerFinished(std::int32_t worker) const { return currentPart(worker) >= partsCount(); }

bool DownloadInfo::isComplete() const {
    const std::int32_t workers = workersCount();
    for (std::int32_t w = 0; w < workers; ++w) {
        if (!isWorkerFinished(w)) return false;
    }
    return true;
}

void DownloadInfo::resetWorkers() {
    const std::int32_t workers = workersCount();
    for (std::int32_t w = 0; w < workers; ++w) {
        m_currentPart[w].store(w);
        m_partDownloaded[w].store(0);
    }
}

std::int32_t DownloadInfo::completedLength() const {
    const std::int32_t parts = partsCount();
    if (parts == 0) return 0;
    const std::int32_t highest = maxCurrentPart();
    // Everything below the highest assigned part is done unless a worker
    // still holds it; (highest + 1) * partSize stays below fileSize here.
    std::int32_t length = highest + 1 < parts ? m_partSize * (highest + 1) : m_fileSize;
    const std::int32_t workers = workersCount();
    for (std::int32_t w = 0; w < workers; ++w) {
        const std::int32_t part = m_currentPart[w].load();
        if (part < parts) length -= partLength(part);
    }
    return length;
}

bool DownloadInfo::hasAnyProgress() const {
    return std::any_of(m_currentPart.begin(), m_currentPart.end(), [](const auto& part) { return part.load() != 0; });
}

bool DownloadInfo::save(const std::wstring& path) const {
    std::string out;
    LittleEndianWriter writer(out);
    if (!writer.narrow(m_urlSuffix) || !writer.narrow(m_fileTag) || !writer.wide(m_filePath)) return false;
    if (!writer.int32(m_partSize) || !writer.int32(m_fileSize) || !writer.int32(m_maxWorkers)) return false;

    const std::int32_t workers = workersCount();
    for (std::int32_t w = 0; w < workers; ++w) {
        if (!writer.int32(m_partDownloaded[w].load())) return false;
    }
    for (std::int32_t w = 0; w < workers; ++w) {
        if (!writer.int32(m_currentPart[w].load())) return false;
    }

    if (m_urls.size() > static_cast<std::size_t>(kInt32Max)) return false;
    if (!writer.int32(static_cast<std::int32_t>(m_urls.size()))) return false;
    for (const std::string& url : m_urls) {
        if (!writer.narrow(url)) return false;
    }

    // Written through the same rules as the destination: a link or a second
    // hard link at the path is replaced, never written through, and nobody
    // else writes the file while it is being written.
    return platform::File::writeWhole(path, out);
}
