// Feeds arbitrary bytes to the response header parser and the header
// callback: neither may crash, and the records must stay consistent.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "downloader/downloader.h"
#include "downloader/header_record.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);

    const HeaderRecord record = parseHeaderLine(input);
    switch (record.kind) {
    case HK_Other:
        if (!record.value.empty()) std::abort();
        break;
    case HK_Status:
        // Only the code piece of a status line, never the whole line.
        if (input.rfind("HTTP/", 0) != 0 || record.value.empty()) std::abort();
        if (record.value.find_first_of(" \t") != std::string::npos) std::abort();
        break;
    default:
        // A named header's value is a piece of the line without blanks or
        // tabs around it.
        if (input.find(record.value) == std::string::npos) std::abort();
        if (!record.value.empty() && (record.value.front() == ' ' || record.value.front() == '\t' ||
                                      record.value.back() == ' ' || record.value.back() == '\t')) {
            std::abort();
        }
        break;
    }

    // The same bytes as a whole header block, one callback per line as libcurl
    // delivers them, the last line possibly without its line end.
    Downloader::UserPData pdata;
    std::size_t begin = 0;
    // A status line starts a new response: only the lines from the last one on are kept.
    std::size_t lines = 0;
    while (begin < input.size()) {
        std::size_t end = input.find('\n', begin);
        end = end == std::string::npos ? input.size() : end + 1;
        std::string line = input.substr(begin, end - begin);
        if (headerCallback(line.data(), 1, line.size(), &pdata) != line.size()) std::abort();
        std::erase(line, '\r');
        std::erase(line, '\n');
        lines = line.starts_with("HTTP/") ? 1 : lines + 1;
        begin = end;
    }
    if (pdata.headers.size() != lines) std::abort();
    if (pdata.statusHeader.kind != HK_Status && pdata.statusHeader.kind != HK_Other) std::abort();
    return 0;
}
