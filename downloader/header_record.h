// Typed response header records and the parser that turns a raw line into one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

enum HeaderKind : std::int32_t {
    HK_Status = 0,
    HK_MessageHash = 1,
    HK_MessageError = 2,
    HK_LastModified = 3,
    HK_ContentLength = 5,
    HK_ContentDisposition = 6,
    HK_Other = 8,
};

struct HeaderRecord {
    HeaderKind kind = HK_Other;
    std::string value;  // bytes as received, untrimmed

    bool operator==(const HeaderRecord&) const = default;
};

using HeaderList = std::vector<HeaderRecord>;

// One header line with CR and LF already removed. Never fails.
HeaderRecord parseHeaderLine(const std::string& line);

// libcurl header function; user data is a Downloader::UserPData.
std::size_t headerCallback(char* data, std::size_t size, std::size_t count, void* userData);
