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
    HK_ETag = 9,
};

struct HeaderRecord {
    HeaderKind kind = HK_Other;
    std::string value;  // status code, or the header's value without surrounding blanks and tabs

    bool operator==(const HeaderRecord&) const = default;
};

using HeaderList = std::vector<HeaderRecord>;

// One header line with CR and LF already removed. Never fails.
HeaderRecord parseHeaderLine(const std::string& line);

// A Content-Length value: plain decimal digits from 0 to 2147483647, else -1
// (no usable length; never the leading part of a longer text).
std::int32_t parseContentLength(const std::string& value);

// The version tag of the file a response describes: its ETag, else its
// Last-Modified, else empty (the server names no version).
std::string responseValidator(const HeaderList& headers);

// libcurl header function; user data is a Downloader::UserPData. Every status
// line starts a new response: the record then describes the final response
// of a redirect chain only. Aborts the transfer (returns 0) rather than let
// an exception reach libcurl.
std::size_t headerCallback(char* data, std::size_t size, std::size_t count, void* userData);
