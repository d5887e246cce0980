#include "downloader/download_info.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "platform/file.h"
#include "platform/text.h"

namespace {

constexpr std::int32_t kInt32Max = std::numeric_limits<std::int32_t>::max();

// The resume state opens with this marker and its format's number. The format
// before runs opened with the URL suffix's length, which is never negative.
constexpr std::int32_t kFormatMarker = -1;
constexpr std::int32_t kRunsFormat = 2;

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
        m_runEnd[w].store(other.m_runEnd[w].load());
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

std::int32_t DownloadInfo::handedOut() const {
    const std::int32_t workers = workersCount();
    std::int32_t highest = 0;
    for (std::int32_t w = 0; w < workers; ++w) highest = std::max(highest, m_runEnd[w].load());
    return highest;
}

std::int32_t DownloadInfo::currentPart(std::int32_t worker) const {
    return isWorkerSlot(worker) ? m_currentPart[worker].load() : 0;
}

std::int32_t DownloadInfo::runEnd(std::int32_t worker) const {
    return isWorkerSlot(worker) ? m_runEnd[worker].load() : 0;
}

bool DownloadInfo::holdsPart(std::int32_t worker) const { return currentPart(worker) < runEnd(worker); }

std::int32_t DownloadInfo::partDownloaded(std::int32_t worker) const {
    return isWorkerSlot(worker) ? m_partDownloaded[worker].load() : 0;
}

void DownloadInfo::setPartDownloaded(std::int32_t worker, std::int32_t bytes) {
    if (isWorkerSlot(worker)) m_partDownloaded[worker].store(bytes);
}

void DownloadInfo::finishPart(std::int32_t worker) {
    if (!holdsPart(worker)) return;
    m_currentPart[worker].store(m_currentPart[worker].load() + 1);
    m_partDownloaded[worker].store(0);
}

void DownloadInfo::takeRun(std::int32_t worker, std::int32_t parts) {
    if (!isWorkerSlot(worker) || holdsPart(worker)) return;
    // Runs are handed out in ascending order to whichever worker asks first.
    const std::int32_t count = partsCount();
    const std::int32_t first = std::min(handedOut(), count);
    const std::int64_t end = std::min<std::int64_t>(static_cast<std::int64_t>(first) + std::max(parts, 1), count);
    m_currentPart[worker].store(first);
    m_runEnd[worker].store(static_cast<std::int32_t>(end));
    m_partDownloaded[worker].store(0);
}

void DownloadInfo::takeNextPart(std::int32_t worker) {
    finishPart(worker);
    if (!holdsPart(worker)) takeRun(worker, 1);
}

bool DownloadInfo::isWorkerFinished(std::int32_t worker) const {
    return !holdsPart(worker) && handedOut() >= partsCount();
}

bool DownloadInfo::isComplete() const {
    if (handedOut() < partsCount()) return false;
    const std::int32_t workers = workersCount();
    for (std::int32_t w = 0; w < workers; ++w) {
        if (holdsPart(w)) return false;
    }
    return true;
}

void DownloadInfo::resetWorkers() {
    const std::int32_t workers = workersCount();
    for (std::int32_t w = 0; w < workers; ++w) {
        m_currentPart[w].store(0);
        m_runEnd[w].store(0);
        m_partDownloaded[w].store(0);
    }
}

std::int32_t DownloadInfo::completedLength() const {
    const std::int32_t parts = partsCount();
    if (parts == 0) return 0;
    // Everything handed out is done unless a worker still holds it. Another
    // thread may move the workers meanwhile: each entry is read once, and a
    // worker caught between two runs holds nothing (its new run begins at or
    // past the old end), so the figure stays inside the file.
    std::int64_t length = std::min<std::int64_t>(static_cast<std::int64_t>(handedOut()) * m_partSize, m_fileSize);
    const std::int32_t workers = workersCount();
    for (std::int32_t w = 0; w < workers; ++w) {
        const std::int64_t end = m_runEnd[w].load();
        const std::int64_t current = m_currentPart[w].load();
        if (current >= end) continue;
        length -= std::min<std::int64_t>(end * m_partSize, m_fileSize) - std::min<std::int64_t>(current * m_partSize, m_fileSize);
    }
    return static_cast<std::int32_t>(std::clamp<std::int64_t>(length, 0, m_fileSize));
}

bool DownloadInfo::hasAnyProgress() const {
    return std::any_of(m_runEnd.begin(), m_runEnd.end(), [](const auto& end) { return end.load() != 0; });
}

std::string DownloadInfo::serialize() const {
    std::string out;
    LittleEndianWriter writer(out);
    if (!writer.int32(kFormatMarker) || !writer.int32(kRunsFormat)) return {};
    if (!writer.narrow(m_urlSuffix) || !writer.narrow(m_fileTag) || !writer.wide(m_filePath)) return {};
    if (!writer.int32(m_partSize) || !writer.int32(m_fileSize) || !writer.int32(m_maxWorkers)) return {};

    const std::int32_t workers = workersCount();
    for (std::int32_t w = 0; w < workers; ++w) {
        if (!writer.int32(m_partDownloaded[w].load())) return {};
    }
    for (std::int32_t w = 0; w < workers; ++w) {
        if (!writer.int32(m_currentPart[w].load())) return {};
    }
    for (std::int32_t w = 0; w < workers; ++w) {
        if (!writer.int32(m_runEnd[w].load())) return {};
    }

    if (m_urls.size() > static_cast<std::size_t>(kInt32Max)) return {};
    if (!writer.int32(static_cast<std::int32_t>(m_urls.size()))) return {};
    for (const std::string& url : m_urls) {
        if (!writer.narrow(url)) return {};
    }
    return out;
}

bool DownloadInfo::save(const std::wstring& path) const {
    const std::string out = serialize();
    if (out.empty()) return false;
    // Replaced whole by a rename: a crash mid-save leaves the previous state,
    // which claims no more than this one, and a link at the path is replaced,
    // never written through.
    return platform::File::replaceWhole(path, out);
}

namespace {

class LittleEndianReader {
public:
    explicit LittleEndianReader(const std::string& in) : m_in(in) {}

    bool int32(std::int32_t& value) {
        if (m_in.size() - m_pos < 4) return false;
        std::uint32_t bits = 0;
        for (int i = 3; i >= 0; --i) bits = (bits << 8) | static_cast<unsigned char>(m_in[m_pos + static_cast<std::size_t>(i)]);
        m_pos += 4;
        value = static_cast<std::int32_t>(bits);
        return true;
    }

    bool narrow(std::string& text) {
        std::int32_t length = 0;
        if (!int32(length) || length < 0 || static_cast<std::size_t>(length) > m_in.size() - m_pos) return false;
        text.assign(m_in, m_pos, static_cast<std::size_t>(length));
        m_pos += static_cast<std::size_t>(length);
        return true;
    }

    bool wide(std::wstring& text) {
        std::int32_t units = 0;
        if (!int32(units) || units < 0 || static_cast<std::size_t>(units) > (m_in.size() - m_pos) / 2) return false;
        std::u16string utf16(static_cast<std::size_t>(units), u'\0');
        for (std::size_t i = 0; i < utf16.size(); ++i) {
            utf16[i] = static_cast<char16_t>(static_cast<unsigned char>(m_in[m_pos + 2 * i]) |
                                             (static_cast<unsigned char>(m_in[m_pos + 2 * i + 1]) << 8));
        }
        m_pos += utf16.size() * 2;
        text = platform::fromUtf16(utf16);
        return platform::toUtf16(text) == utf16;  // unpaired surrogates do not round-trip
    }

    bool atEnd() const { return m_pos == m_in.size(); }

private:
    const std::string& m_in;
    std::size_t m_pos = 0;
};

}  // namespace

bool DownloadInfo::parse(const std::string& bytes) {
    LittleEndianReader reader(bytes);
    DownloadInfo read;
    // A state written before runs opens with the URL suffix's length; a
    // negative number marks a format with runs, whose number follows.
    bool withRuns = false;
    std::int32_t first = 0;
    std::int32_t format = 0;
    if (LittleEndianReader peek(bytes); peek.int32(first) && first < 0) {
        if (first != kFormatMarker || !peek.int32(format) || format != kRunsFormat) return false;
        reader.int32(first);
        reader.int32(format);
        withRuns = true;
    }
    if (!reader.narrow(read.m_urlSuffix) || !reader.narrow(read.m_fileTag) || !reader.wide(read.m_filePath)) return false;
    if (!reader.int32(read.m_partSize) || !reader.int32(read.m_fileSize) || !reader.int32(read.m_maxWorkers)) return false;
    if (read.m_partSize <= 0 || read.m_fileSize <= 0 || read.m_maxWorkers <= 0) return false;

    const std::int32_t workers = read.workersCount();
    const std::int32_t parts = read.partsCount();
    const auto count = static_cast<std::size_t>(workers);
    std::vector<std::int32_t> kept(count), current(count), ends(count);
    for (std::int32_t& value : kept)
        if (!reader.int32(value)) return false;
    for (std::int32_t& value : current)
        if (!reader.int32(value)) return false;
    if (withRuns) {
        for (std::int32_t& value : ends)
            if (!reader.int32(value)) return false;
    } else {
        for (std::size_t w = 0; w < count; ++w) {
            // Before runs a worker held just its part, handed out one past
            // the highest, so a finished worker's index lay at most `workers`
            // past the last part (summed in 64 bits: a state of 1-byte parts
            // counts nearly 2^31 of them). It now holds nothing at the end.
            if (current[w] < 0 || current[w] >= static_cast<std::int64_t>(parts) + workers) return false;
            if (current[w] >= parts) current[w] = parts;
            ends[w] = current[w] < parts ? current[w] + 1 : parts;
        }
    }

    for (std::size_t w = 0; w < count; ++w) {
        const std::int32_t part = current[w];
        if (part < 0 || part > ends[w] || ends[w] > parts) return false;
        const bool holds = part < ends[w];
        if (holds) {
            // Two workers on one part. Only the few runs read so far are
            // compared: a table of every part would cost such a state
            // hundreds of megabytes.
            for (std::size_t earlier = 0; earlier < w; ++earlier) {
                if (current[earlier] < ends[earlier] && part < ends[earlier] && current[earlier] < ends[w]) return false;
            }
            if (kept[w] < 0 || kept[w] >= read.partLength(part)) return false;
        } else if (kept[w] != 0) {
            return false;
        }
        read.m_currentPart[w].store(part);
        read.m_runEnd[w].store(ends[w]);
        read.m_partDownloaded[w].store(kept[w]);
    }

    std::int32_t urlCount = 0;
    if (!reader.int32(urlCount) || urlCount < 0) return false;
    for (std::int32_t i = 0; i < urlCount; ++i) {
        std::string url;
        if (!reader.narrow(url)) return false;
        read.m_urls.push_back(std::move(url));
    }
    if (!reader.atEnd()) return false;
    *this = read;
    return true;
}

bool DownloadInfo::describesSameDownload(const DownloadInfo& other) const {
    return m_urls == other.m_urls && m_urlSuffix == other.m_urlSuffix && m_fileTag == other.m_fileTag &&
           m_filePath == other.m_filePath && m_partSize == other.m_partSize && m_maxWorkers == other.m_maxWorkers &&
           m_fileSize == other.m_fileSize && workersCount() == other.workersCount();
}
