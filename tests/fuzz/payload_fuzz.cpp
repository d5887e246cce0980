// Fuzzes the payload block reader, the stamp side's block finder and the
// parting of a block at its seal.
//
// Over arbitrary bytes: the parsed map never holds an empty key, a key with
// "=" or ";", or a value with ";"; the block finder gives the same answer
// whatever its chunk size. Over arbitrary stampable items appended to
// arbitrary bytes: the reader gets back exactly the items (later duplicates
// winning), every value decodes to the text given less its control
// characters, and the block finder points at the appended block. A block
// parted at its seal signs exactly its start, up to one well-formed seal
// item that only zero bytes follow, and no other item is a seal.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "config/payload.h"
#include "config/payload_seal.h"
#include "config/stamp_block.h"
#include "platform/text.h"

namespace {

void check(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

std::optional<std::int64_t> findBlock(const std::string& bytes, std::size_t chunk) {
    std::istringstream in(bytes);
    return findTrailingPayloadBlock(in, static_cast<std::int64_t>(bytes.size()), chunk);
}

void checkArbitraryBytes(const std::string& bytes) {
    for (const auto& [key, value] : parsePayload(bytes)) {
        check(!key.empty(), "key not empty");
        check(key.find('=') == std::string::npos, "no '=' in a key");
        check(key.find(';') == std::string::npos, "no ';' in a key");
        check(value.find(';') == std::string::npos, "no ';' in a value");
    }
    const std::optional<std::int64_t> whole = findBlock(bytes, std::size_t{1} << 20);
    check(findBlock(bytes, 12) == whole, "block finder independent of chunk size (12)");
    check(findBlock(bytes, 29) == whole, "block finder independent of chunk size (29)");
    if (whole) {
        check(bytes.compare(static_cast<std::size_t>(*whole), kPayloadMarker.size(), kPayloadMarker) == 0,
              "block starts with the marker");
    }
    const std::optional<std::string_view> block = findPayloadBlock(bytes);
    if (!block) return;
    std::string why;
    const std::optional<SealedBlock> sealed = splitSealedBlock(*block, why);
    if (!sealed) {
        check(!why.empty(), "a refused seal says why");
        return;
    }
    check(block->substr(0, sealed->signedPart.size()) == sealed->signedPart, "the seal signs the block's start");
    const std::string_view rest = block->substr(sealed->signedPart.size());
    check(rest.substr(0, 5) == "seal=" && rest.size() >= 134 && rest[133] == ';', "one seal item follows");
    check(rest.find_first_not_of('\0', 134) == std::string_view::npos, "only zero bytes after the seal");
    check(parsePayload(sealed->signedPart).count("seal") == 0, "no other item is a seal");
}

void checkRoundTrip(FuzzedDataProvider& data) {
    const std::string prefix = data.ConsumeRandomLengthString(4096);
    std::vector<StampItem> items;
    std::map<std::string, std::string> expected;
    while (data.remaining_bytes() > 0 && items.size() < 16) {
        StampItem item{data.ConsumeRandomLengthString(64), data.ConsumeRandomLengthString(512)};
        if (!stampKeyProblem(item.key).empty() || !stampValueProblem(item.value).empty()) continue;
        expected[item.key] = item.value;
        items.push_back(std::move(item));
    }
    const std::string file = prefix + buildPayloadBlock(items);

    PayloadMap payload = parsePayload(file);
    check(payload.size() == expected.size(), "every stamped key read back");
    for (const auto& [key, value] : expected) {
        check(payload.count(key) == 1, "stamped key present");
        std::wstring printable = platform::fromUtf8(value);
        std::erase_if(printable, [](wchar_t unit) { return unit <= 0x1F || (unit >= 0x7F && unit <= 0x9F); });
        check(decodePayloadValue(payload.at(key)) == printable, "value decodes to the text given, less controls");
    }
    const std::optional<std::int64_t> block = findBlock(file, 64);
    check(block && *block == static_cast<std::int64_t>(prefix.size()), "finder points at the appended block");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    checkArbitraryBytes(std::string(reinterpret_cast<const char*>(bytes), size));
    FuzzedDataProvider data(bytes, size);
    checkRoundTrip(data);
    return 0;
}
