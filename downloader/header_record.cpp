#include "downloader/header_record.h"

#include <algorithm>
#include <cstdint>
#include <limits>

#include <boost/algorithm/string/case_conv.hpp>
#include <boost/algorithm/string/classification.hpp>
#include <boost/algorithm/string/split.hpp>
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

bool isCSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

// Leading decimal digits the way the C library reads them (blanks, then an
// optional sign), 0 when there are none. A number past the 32-bit range
// saturates instead of overflowing, so it can never equal a real part length.
std::int32_t leadingDecimal(const std::string& text) {
    std::size_t i = 0;
    while (i < text.size() && isCSpace(text[i])) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    constexpr std::int64_t kLimit = static_cast<std::int64_t>(std::numeric_limits<std::int32_t>::max()) + 1;
    std::int64_t magnitude = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        magnitude = std::min<std::int64_t>(magnitude * 10 + (text[i] - '0'), kLimit);
    }
    if (negative) return static_cast<std::int32_t>(-magnitude);
    return static_cast<std::int32_t>(std::min<std::int64_t>(magnitude, kLimit - 1));
}

}  // namespace

HeaderRecord parseHeaderLine(const std::string& line) {
    if (line.compare(0, 5, "HTTP/") == 0) return parseStatusLine(line);

    const std::size_t colon = line.find(':');
    if (colon == std::string::npos) return {};
    const std::string name = boost::algorithm::to_lower_copy(line.substr(0, colon));
    // The character after the colon is skipped whatever it is; the rest is
    // kept untrimmed.
    const std::string value = colon + 2 < line.size() ? line.substr(colon + 2) : std::string();
    for (const KnownHeader& known : kKnownHeaders) {
        if (name == known.name) return {known.kind, value};
    }
    return {};
}

std::size_t headerCallback(char* data, std::size_t size, std::size_t count, void* userData) {
    const std::size_t total = size * count;
    auto* record = static_cast<Downloader::UserPData*>(userData);
    if (record == nullptr || (total > 0 && data == nullptr)) return total;

    std::string line(data, total);
    std::erase(line, '\r');
    std::erase(line, '\n');

    HeaderRecord parsed = parseHeaderLine(line);
    record->headers.push_back(parsed);
    if (parsed.kind == HK_Status) {
        record->statusHeader = parsed;
    } else if (parsed.kind == HK_ContentLength) {
        record->contentSize = leadingDecimal(parsed.value);
    }
    return total;
}
