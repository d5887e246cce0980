// The decision at start whether an earlier run's resume state is continued,
// and the saves that keep the state from claiming bytes the disk lacks.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>

#include <boost/crc.hpp>

#include "downloader/async_writer.h"
#include "downloader/diagnostic_log.h"
#include "downloader/downloader.h"
#include "platform/system.h"

namespace {

// Far above any state this engine writes; a larger file is not ours.
constexpr std::uintmax_t kMaxStateBytes = 1 << 20;

// The whole content of a plain file (no link), or false.
bool readPlainFile(const std::wstring& path, std::string& bytes) {
    std::error_code error;
    const std::filesystem::path native = platform::nativePath(path);
    if (!std::filesystem::is_regular_file(std::filesystem::symlink_status(native, error))) return false;
    const std::uintmax_t size = std::filesystem::file_size(native, error);
    if (error || size > kMaxStateBytes) return false;
    std::ifstream in(native, std::ios::binary);
    if (!in) return false;
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

// The validator record: the file version, a line break and the CRC-32 of the
// resume state it was written beside. A record only vouches for that very
// state: a state another run wrote later (for the old version, say) does not
// match it, and is not continued.
std::string validatorRecord(const std::string& validator, const std::string& state) {
    boost::crc_32_type crc;
    crc.process_bytes(state.data(), state.size());
    char digest[9];
    std::snprintf(digest, sizeof digest, "%08x", static_cast<unsigned>(crc.checksum()));
    return validator + "\n" + digest;
}

}  // namespace

std::wstring Downloader::validatorRecordPath() const { return m_tempFilePath + L".validator"; }

bool Downloader::canContinue(DownloadInfo& earlier) const {
    // A weak ETag does not promise the same bytes, and without any validator
    // nothing shows that the kept bytes belong to the file served now.
    if (m_validator.empty() || m_validator.rfind("W/", 0) == 0) return false;
    std::string recorded, bytes;
    if (!readPlainFile(validatorRecordPath(), recorded) || !readPlainFile(m_tempFilePath, bytes)) return false;
    if (recorded != validatorRecord(m_validator, bytes) || !earlier.parse(bytes)) return false;
    if (!earlier.describesSameDownload(m_info)) return false;

    // The kept bytes are only where the state says if the destination is the
    // plain file they were written to, at full size.
    std::error_code error;
    const std::filesystem::path dest = platform::nativePath(m_info.filePath());
    if (!std::filesystem::is_regular_file(std::filesystem::symlink_status(dest, error))) return false;
    if (std::filesystem::hard_link_count(dest, error) != 1 || error) return false;
    const std::uintmax_t size = std::filesystem::file_size(dest, error);
    return !error && size == static_cast<std::uintmax_t>(m_info.fileSize());
}

bool Downloader::prepareStart(bool mayContinue) {
    DownloadInfo earlier;
    m_continued = mayContinue && !m_tempFilePath.empty() && canContinue(earlier);
    if (m_continued) {
        m_info = earlier;
        diagnosticLogf(logtext::kContinueDownload, m_info.completedLength());
        return true;
    }
    m_info.resetWorkers();
    if (m_tempFilePath.empty()) return false;
    if (m_validator.empty()) {
        std::error_code error;
        std::filesystem::remove(platform::nativePath(validatorRecordPath()), error);
    }
    saveState(m_info.serialize());
    return false;
}

bool Downloader::saveState(const std::string& bytes) {
    // The state goes first: a run that stops between the two files leaves a
    // record naming the previous state, and the next start begins fresh.
    if (bytes.empty() || !platform::File::replaceWhole(m_tempFilePath, bytes)) return false;
    if (!m_validator.empty()) platform::File::replaceWhole(validatorRecordPath(), validatorRecord(m_validator, bytes));
    return true;
}

void Downloader::offerState(DownloaderAsyncWriter& writer) {
    const std::string bytes = m_info.serialize();
    if (!bytes.empty()) m_pendingStates.emplace_back(writer.queuedCount(), bytes);
    saveDurableState(writer.durableCount());
}

void Downloader::saveDurableState(std::uint64_t durable) {
    auto newest = m_pendingStates.end();
    for (auto it = m_pendingStates.begin(); it != m_pendingStates.end() && it->first <= durable; ++it) newest = it;
    if (newest == m_pendingStates.end()) return;
    const bool saved = saveState(newest->second);
    diagnosticLogf(logtext::kSaveResult, saved ? 1 : 0);
    m_pendingStates.erase(m_pendingStates.begin(), newest + 1);
}
