#include "app/worker_steps.h"

#include <algorithm>
#include <charconv>
#include <filesystem>

#include <boost/crc.hpp>
#include <boost/format.hpp>

#include "platform/text.h"

std::wstring errorMessageFor(const ErrorClass& error) {
    switch (error.kind) {
    case kErrorKindDownload:
        return (boost::wformat(L"Download Error (system code: %i). ") % error.code).str();
    case kErrorKindServer:
        return (boost::wformat(L"Server Error (system code: %i). ") % error.code).str();
    default:
        return kInternalErrorMessage;
    }
}

const std::string& firstContentLength(const HeaderList& headers) {
    const auto found = std::find_if(headers.begin(), headers.end(),
                                    [](const HeaderRecord& record) { return record.kind == HK_ContentLength; });
    if (found == headers.end()) throw ErrorClass{kErrorKindServer, kMissingContentLengthCode};
    return found->value;
}

void requireSuccessfulProbe(const HeaderList& headers) {
    // The records are those of the final answer of a redirect chain.
    const auto status = std::find_if(headers.begin(), headers.end(),
                                     [](const HeaderRecord& record) { return record.kind == HK_Status; });
    if (status == headers.end()) return;
    std::int32_t code = 0;
    const char* begin = status->value.data();
    const char* end = begin + status->value.size();
    const auto [rest, error] = std::from_chars(begin, end, code);
    if (error == std::errc() && rest == end && code >= 200 && code <= 299) return;
    throw ErrorClass{kErrorKindServer, code};
}

std::int32_t contentLengthToSize(const std::string& value) {
    // A size read from the leading digits of some other text would be the
    // size of no file at all.
    const std::int32_t size = parseContentLength(value);
    if (size < 1) throw ErrorClass{kErrorKindServer, kMissingContentLengthCode};
    return size;
}

std::int32_t progressPercent(std::int32_t progressLength, std::int32_t fileSize) {
    if (fileSize <= 0) return 0;
    return static_cast<std::int32_t>(progressLength * 100.0 / fileSize);
}

std::wstring progressText(const std::wstring& label, std::int32_t percent) {
    return (boost::wformat(L"%ls: %i%%") % label % percent).str();
}

ProgressReport* newProgressReport(std::int32_t percent, const std::wstring& text) {
    auto* report = new ProgressReport;
    report->percent = percent;
    // 255 units including the terminator: at most 254 characters arrive.
    constexpr std::size_t kMaxCharacters = 254;
    const std::size_t length = std::min(text.size(), kMaxCharacters);
    std::copy_n(text.data(), length, report->text);
    std::fill(report->text + length, std::end(report->text), L'\0');
    return report;
}

namespace {

// On Windows the names are exactly "%ls\\_%ls.txt" and "%ls\\%ls_%ls.exe";
// elsewhere a backslash is an ordinary file-name character, so the
// platform's own separator takes its place.
std::wstring separator() {
    return std::wstring(1, static_cast<wchar_t>(std::filesystem::path::preferred_separator));
}

}  // namespace

std::wstring resumeStatePath(const std::wstring& tempDir, const std::wstring& fileTag) {
    return (boost::wformat(L"%ls" + separator() + L"_%ls.txt") % tempDir % fileTag).str();
}

std::wstring installerPath(const std::wstring& tempDir, const std::wstring& fileStem, const std::wstring& fileTag) {
    return (boost::wformat(L"%ls" + separator() + L"%ls_%ls.exe") % tempDir % fileStem % fileTag).str();
}

std::wstring resumeStateLockPath(const std::wstring& statePath) { return statePath + L".lock"; }

std::wstring runningCopyName(const std::wstring& statePath) {
    std::string bytes = platform::toUtf8(statePath);
    for (char& c : bytes) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    boost::crc_32_type crc;
    crc.process_bytes(bytes.data(), bytes.size());
    return (boost::wformat(L"Vorlane-%08x") % crc.checksum()).str();
}
