// Fuzzes the Content-Range parser of the part verification, over arbitrary
// header values and over well-formed ones built from three numbers.
//
// Invariants: a parsed range starts at 0 or later, does not end before it
// starts and, when the answer names the file's size, lies inside the file; the
// canonical text of a parsed range reads back the same; and "bytes F-L/T" is
// accepted exactly when F <= L < T.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>

#include "downloader/transfer_handles.h"

namespace {

void check(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

std::string canonical(const transfer::ContentRange& range) {
    return "bytes " + std::to_string(range.first) + "-" + std::to_string(range.last) + "/" +
           (range.total < 0 ? std::string("*") : std::to_string(range.total));
}

void checkParsed(const std::optional<transfer::ContentRange>& range) {
    if (!range) return;
    check(range->first >= 0, "a range starts at 0 or later");
    check(range->first <= range->last, "a range does not end before it starts");
    check(range->total == -1 || range->last < range->total, "a range lies inside the file");
    const std::optional<transfer::ContentRange> again = transfer::parseContentRange(canonical(*range));
    check(again && again->first == range->first && again->last == range->last && again->total == range->total,
          "the canonical text reads back the same");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    checkParsed(transfer::parseContentRange(std::string(reinterpret_cast<const char*>(bytes), size)));

    FuzzedDataProvider data(bytes, size);
    const auto first = data.ConsumeIntegral<std::int64_t>();
    const auto last = data.ConsumeIntegral<std::int64_t>();
    const auto total = data.ConsumeIntegral<std::int64_t>();
    const std::optional<transfer::ContentRange> range = transfer::parseContentRange(
        "bytes " + std::to_string(first) + "-" + std::to_string(last) + "/" + std::to_string(total));
    checkParsed(range);
    check(range.has_value() == (0 <= first && first <= last && last < total), "accepted exactly when F <= L < T");
    return 0;
}
