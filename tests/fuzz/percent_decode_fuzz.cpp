// Fuzzes the value decoding: percentDecode over arbitrary units, and the form
// encoding of the stamp side against it.
//
// Invariants: the decoding never grows a value; a value without "%" only has
// its "+" turned into spaces; every escape yields one unit of at most 0xFF; a
// decoded payload value holds no control character; and any valid UTF-8 text,
// form-encoded, decodes back to itself less its control characters.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "config/payload.h"
#include "config/stamp_block.h"
#include "platform/text.h"

namespace {

void check(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

bool isControl(wchar_t unit) {
    const auto code = static_cast<std::uint32_t>(unit);
    return code <= 0x1F || (code >= 0x7F && code <= 0x9F);
}

void checkUnits(const std::wstring& value) {
    const std::wstring decoded = percentDecode(value);
    check(decoded.size() <= value.size(), "decoding never grows a value");
    if (value.find(L'%') == std::wstring::npos) {
        std::wstring plusless = value;
        for (wchar_t& unit : plusless) {
            if (unit == L'+') unit = L' ';
        }
        check(decoded == plusless, "without escapes only '+' changes");
    }
    // Every unit of the output is an input unit, a space, or an escape's byte.
    for (const wchar_t unit : decoded) {
        check(unit <= 0xFF || value.find(unit) != std::wstring::npos, "no unit out of nowhere");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    const std::string raw(reinterpret_cast<const char*>(bytes), size);

    // Arbitrary bytes as the program sees them (invalid UTF-8 dropped) ...
    checkUnits(platform::fromUtf8(raw));
    // ... and as raw units, one per byte, so that "%" meets every neighbour.
    std::wstring units;
    for (const char byte : raw) units.push_back(static_cast<wchar_t>(static_cast<unsigned char>(byte)));
    checkUnits(units);

    for (const std::wstring& decoded : {decodePayloadValue(raw), decodePayloadKey(raw)}) {
        check(std::none_of(decoded.begin(), decoded.end(), isControl), "no control character decoded");
    }

    if (isValidUtf8(raw)) {
        const std::string encoded = formEncode(raw);
        check(encoded.find_first_of(";=+:") == std::string::npos, "encoded values hold no separators");
        std::wstring printable = platform::fromUtf8(raw);
        std::erase_if(printable, isControl);
        check(decodePayloadValue(encoded) == printable, "form encoding round-trips but for control characters");
    }
    return 0;
}
