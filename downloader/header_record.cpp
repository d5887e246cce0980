#include "downloader/header_record.h"

#include <algorithm>
#include <charconv>
#include <cstdint>

#include <boost/algorithm/string/case_conv.hpp>
#include <boost/algorithm/string/classification.hpp>
#include <boost/algorithm/string/split.hpp>
#include <boost/algorithm/string/trim.hpp>
#include <boost/lexical_cast/try_lexical_convert.hpp>

#include "downloader/downloader.h"

namespace {

struct KnownHeader {
    const char* name;
    HeaderKind kind;
};

// Compared in this order; every other name is dropped.
constexpr KnownHeader kKnownHeaders[] = {
    {"x-message-hash", HK_MessageHash},
    {"x-message-error", HK_MessageError},
    {"last-modified", HK_LastModified},
    {"content-length", HK_ContentLength},
    {"content-disposition", HK_ContentDisposition},
    {"etag", HK_ETag},
};

HeaderRecord parseStatusLine(const std::string& line) {
    std::vector<std::string> pieces;
    boost::algorithm::split(pieces, line, boost::algorithm::is_any_of(" \t"), boost::algorithm::token_compress_on);
    // A status line that ends right after its code is not taken as one.
    if (pieces.size() <= 2) return {};
    int code = 0;
    if (!boost::conversion::try_lexical_convert(pieces[1], code)) return {};
    return {HK_Status, pieces[1]};
}

}  // namespace

HeaderRecord parseHeaderLine(const std::string& line) {
    if (line.compare(0, 5, "HTTP/") == 0) return parseStatusLine(line);

    const std::size_t colon = line.find(':');
    if (colon == std::string::npos) return {};
    const std::string name = boost::algorithm::to_lower_copy(line.substr(0, colon));
    for (const KnownHeader& known : kKnownHeaders) {
        // The blanks and tabs around a value are optional in HTTP and never part of it.
        if (name == known.name)
            return {known.kind, boost::algorithm::trim_copy_if(line.substr(colon + 1), boost::algorithm::is_any_of(" \t"))};
    }
    return {};
}

std::int32_t parseContentLength(const std::string& value) {
    if (value.empty() || value.front() < '0' || value.front() > '9') return -1;
    std::int32_t length = -1;
    const char* end = value.data() + value.size();
    const auto [rest, error] = std::from_chars(value.data(), end, length);
    if (error != std::errc() || rest != end) return -1;
    return length;
}

std::string responseValidator(const HeaderList& headers) {
    const auto valueOf = [&headers](HeaderKind kind) -> const std::string* {
        for (const HeaderRecord& record : headers)
            if (record.kind == kind && !record.value.empty()) return &record.value;
        return nullptr;
    };
    if (const std::string* etag = valueOf(HK_ETag)) return *etag;
    if (const std::string* lastModified = valueOf(HK_LastModified)) return *lastModified;
    return {};
}

std::size_t headerCallback(char* data, std::size_t size, std::size_t count, void* userData) {
    const std::size_t total = size * count;
    auto* record = static_cast<Downloader::UserPData*>(userData);
    if (record == nullptr || (total > 0 && data == nullptr)) return total;

    try {
        std::string line(data, total);
        std::erase(line, '\r');
        std::erase(line, '\n');

        HeaderRecord parsed = parseHeaderLine(line);
        if (line.starts_with("HTTP/")) {
            // A redirect's (or an interim answer's) own length, range and
            // version describe its own short body, never the file.
            record->headers.clear();
            record->statusHeader = HeaderRecord{};
            record->contentSize = 0;
            record->contentRange.clear();
        }
        if (parsed.kind == HK_Status) {
            record->statusHeader = parsed;
        } else if (parsed.kind == HK_ContentLength) {
            // An unusable value counts as no length at all (0 never matches a Range).
            record->contentSize = std::max(parseContentLength(parsed.value), 0);
        }
        record->headers.push_back(std::move(parsed));
    } catch (...) {
        return 0;
    }
    return total;
}
