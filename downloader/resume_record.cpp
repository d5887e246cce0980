// Text layout of the resume record and its default store, a plain file.
#include "downloader/resume_record.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>

#include "platform/file.h"
#include "platform/system.h"

namespace {

// Far above any record this engine writes (a long ETag and two digests).
constexpr std::uintmax_t kMaxRecordBytes = 64 * 1024;

bool isDigest(const std::string& text) {
    if (text.size() != 64) return false;
    for (const char c : text) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    }
    return true;
}

}  // namespace

std::string ResumeRecord::text() const {
    std::string out = validator + "\n" + stateDigest;
    if (!fileDigest.empty()) out += "\n" + fileDigest;
    return out;
}

bool ResumeRecord::parse(const std::string& text) {
    const std::size_t first = text.find('\n');
    if (first == std::string::npos) return false;
    const std::size_t second = text.find('\n', first + 1);
    ResumeRecord read;
    read.validator = text.substr(0, first);
    read.stateDigest = text.substr(first + 1, second == std::string::npos ? std::string::npos : second - first - 1);
    if (second != std::string::npos) {
        read.fileDigest = text.substr(second + 1);
        if (!isDigest(read.fileDigest)) return false;
    }
    if (!isDigest(read.stateDigest)) return false;
    *this = read;
    return true;
}

bool FileResumeRecordStore::load(std::string& text) { return readPlainFile(m_path, text, kMaxRecordBytes); }

bool FileResumeRecordStore::store(const std::string& text) { return platform::File::replaceWhole(m_path, text); }

bool FileResumeRecordStore::erase() {
    std::error_code error;
    std::filesystem::remove(platform::nativePath(m_path), error);
    return !error;
}

bool readPlainFile(const std::wstring& path, std::string& bytes, std::uintmax_t maxBytes) {
    std::error_code error;
    const std::filesystem::path native = platform::nativePath(path);
    if (!std::filesystem::is_regular_file(std::filesystem::symlink_status(native, error))) return false;
    const std::uintmax_t size = std::filesystem::file_size(native, error);
    if (error || size > maxBytes) return false;
    std::ifstream in(native, std::ios::binary);
    if (!in) return false;
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}
