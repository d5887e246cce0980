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
        // A named header's value is the untouched end of the line.
        if (record.value.size() > input.size() ||
            input.compare(input.size() - record.value.size(), std::string::npos, record.value) != 0) {
            std::abort();
        }
        break;
    }

    // The same bytes as a whole header block, one callback per line as libcurl
    // delivers them, the last line possibly without its line end.
    Downloader::UserPData pdata;
    std::size_t begin = 0;
    std::size_t lines = 0;
    while (begin < input.size()) {
        std::size_t end = input.find('\n', begin);
        end = end == std::string::npos ? input.size() : end + 1;
        std::string line = input.substr(begin, end - begin);
        if (headerCallback(line.data(), 1, line.size(), &pdata) != line.size()) std::abort();
        ++lines;
        begin = end;
    }
    if (pdata.headers.size() != lines) std::abort();
    if (pdata.statusHeader.kind != HK_Status && pdata.statusHeader.kind != HK_Other) std::abort();
    return 0;
}
