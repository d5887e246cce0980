// The decision at start whether an earlier run's resume state is continued,
// the saves that keep the state from claiming bytes the disk lacks, and the
// record that ties a state, and a finished file, to what was downloaded.
#include <filesystem>
#include <system_error>

#include "downloader/async_writer.h"
#include "downloader/diagnostic_log.h"
#include "downloader/downloader.h"
#include "platform/sha256.h"
#include "platform/system.h"

namespace {

// Far above any state this engine writes; a larger file is not ours.
constexpr std::uintmax_t kMaxStateBytes = 1 << 20;

}  // namespace

std::wstring Downloader::validatorRecordPath() const { return m_tempFilePath + L".validator"; }

void Downloader::setRecordStore(std::shared_ptr<ResumeRecordStore> store) { m_recordStore = std::move(store); }

std::shared_ptr<ResumeRecordStore> Downloader::recordStore() const {
    if (m_recordStore) return m_recordStore;
    if (m_tempFilePath.empty()) return nullptr;
    return std::make_shared<FileResumeRecordStore>(validatorRecordPath());
}

bool Downloader::canContinue(DownloadInfo& earlier) const {
    // A weak ETag does not promise the same bytes, and without any validator
    // nothing shows that the kept bytes belong to the file served now.
    if (m_validator.empty() || m_validator.rfind("W/", 0) == 0) return false;
    // A record only vouches for the very state it was written with: a state
    // another run wrote later (for the old version, say), or one changed
    // since, does not match it and is not continued.
    const auto store = recordStore();
    std::string text, bytes;
    ResumeRecord record;
    if (!store || !store->load(text) || !record.parse(text) || !readPlainFile(m_tempFilePath, bytes, kMaxStateBytes))
        return false;
    if (record.validator != m_validator || record.stateDigest != platform::sha256Hex(bytes) || !earlier.parse(bytes))
        return false;
    if (!earlier.describesSameDownload(m_info)) return false;

    // The kept bytes are only where the state says if the destination is the
    // plain file they were written to, at full size.
    std::error_code error;
    const std::filesystem::path dest = platform::nativePath(m_info.filePath());
    if (!std::filesystem::is_regular_file(std::filesystem::symlink_status(dest, error))) return false;
    if (std::filesystem::hard_link_count(dest, error) != 1 || error) return false;
    const std::uintmax_t size = std::filesystem::file_size(dest, error);
    if (error || size != static_cast<std::uintmax_t>(m_info.fileSize())) return false;
    if (!earlier.isComplete()) return true;

    // A finished file is started without being fetched: only the very bytes
    // hashed when it was finished qualify, not just any file of its size.
    platform::File file;
    return !record.fileDigest.empty() && file.openHeld(m_info.filePath()) &&
           platform::sha256HexOfFile(file) == record.fileDigest;
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
    saveState(m_info.serialize());
    return false;
}

bool Downloader::saveState(const std::string& bytes, const std::string& fileDigest) {
    // The state goes first: a run that stops between the two leaves a record
    // naming the previous state, and the next start begins fresh.
    if (bytes.empty() || !platform::File::replaceWhole(m_tempFilePath, bytes)) return false;
    if (const auto store = recordStore())
        store->store(ResumeRecord{m_validator, platform::sha256Hex(bytes), fileDigest}.text());
    return true;
}

void Downloader::recordFinishedFile(const platform::File& file) {
    const std::string digest = platform::sha256HexOfFile(file);
    // Without the digest the record keeps vouching for the state alone, and
    // neither this run nor a later start starts the file.
    if (digest.empty()) {
        diagnosticLog(logtext::kFinishedFileUnread);
        return;
    }
    saveState(m_info.serialize(), digest);
}

bool Downloader::completedFileMatchesRecord(const platform::File& file) {
    const auto store = recordStore();
    std::string text;
    ResumeRecord record;
    if (store && file.isOpen() && store->load(text) && record.parse(text) && !record.fileDigest.empty() &&
        platform::sha256HexOfFile(file) == record.fileDigest)
        return true;
    diagnosticLog(logtext::kFinishedFileMismatch);
    if (store) store->erase();
    return false;
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
