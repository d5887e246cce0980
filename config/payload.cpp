// Reading the payload block from the end of a file and decoding its values.
#include "config/payload.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <system_error>

#include "platform/system.h"
#include "platform/text.h"

bool PayloadKeyLess::operator()(const std::string& a, const std::string& b) const {
    // memcmp compares as unsigned char, so "\xC3..." sorts after "z" whatever
    // the signedness of char on the compiler at hand.
    const std::size_t common = std::min(a.size(), b.size());
    const int order = common == 0 ? 0 : std::memcmp(a.data(), b.data(), common);
    if (order != 0) return order < 0;
    return a.size() < b.size();
}

std::optional<std::string_view> findPayloadBlock(std::string_view tail) {
    // The executable carries the marker text itself (it is the reader's own
    // constant); only the last occurrence can be the appended block. Searched
    // from the end with a skipping search: a tail without a block is up to
    // 100 MiB long, and a plain rfind compares at every byte of it.
    static const std::string reversedMarker(kPayloadMarker.rbegin(), kPayloadMarker.rend());
    static const std::boyer_moore_horspool_searcher searcher(reversedMarker.begin(), reversedMarker.end());
    const auto found = std::search(tail.rbegin(), tail.rend(), searcher);
    if (found == tail.rend()) return std::nullopt;
    // `found` is the marker's last byte; everything after it is the items.
    const std::size_t itemsStart = static_cast<std::size_t>(found.base() - tail.begin());
    const std::string_view rest = tail.substr(itemsStart);
    // In an unstamped program the last marker is the reader's own constant,
    // which the compiler stores with its terminating zero byte; reading the
    // binary after it as items would hand junk keys to the installer. A
    // stamped block never starts with a zero byte (keys are not empty), and an
    // empty stamped block gives no items either way.
    if (rest.empty() || rest.front() == '\0') return std::nullopt;
    return tail.substr(itemsStart - kPayloadMarker.size());
}

PayloadMap parsePayload(std::string_view tail) {
    PayloadMap payload;
    const std::optional<std::string_view> block = findPayloadBlock(tail);
    if (!block) return payload;
    std::string_view rest = block->substr(kPayloadMarker.size());
    // An empty item (";;" or ";" right after the marker) ends the block.
    for (std::size_t end = rest.find(';'); end != std::string_view::npos && end > 0; end = rest.find(';')) {
        const std::string_view item = rest.substr(0, end);
        const std::size_t equals = item.find('=');
        if (equals != std::string_view::npos && equals > 0) {
            payload.insert_or_assign(std::string(item.substr(0, equals)), std::string(item.substr(equals + 1)));
        }
        rest.remove_prefix(end + 1);
    }
    return payload;
}

PayloadMap readPayloadFromFile(const std::wstring& path) { return parsePayload(readPayloadTail(path)); }

std::string readPayloadTail(const std::wstring& path) {
    if (path.empty()) return {};
    const std::filesystem::path file = platform::nativePath(path);
    // A directory or device would report a nonsense size and make us allocate
    // the whole tail for nothing.
    std::error_code error;
    if (!std::filesystem::is_regular_file(file, error)) return {};

    // std::ifstream opens without denying other readers or writers on Windows
    // too, so a running copy of the program can read itself.
    std::ifstream in(file, std::ios::binary);
    if (!in) return {};
    in.seekg(0, std::ios::end);
    const std::streamoff size = in.tellg();
    if (size < 0) return {};
    const std::streamoff length = std::min<std::streamoff>(size, kPayloadTailLimit);
    in.seekg(size - length, std::ios::beg);
    if (!in) return {};

    std::string tail(static_cast<std::size_t>(length), '\0');
    in.read(tail.data(), length);
    // A short read means the file changed under us: what we hold is then not
    // the tail, and a block parsed from it could be a stale one.
    if (in.gcount() != length) return {};
    return tail;
}

namespace {

int hexDigitValue(wchar_t unit) {
    if (unit >= L'0' && unit <= L'9') return unit - L'0';
    if (unit >= L'a' && unit <= L'f') return unit - L'a' + 10;
    if (unit >= L'A' && unit <= L'F') return unit - L'A' + 10;
    return -1;
}

}  // namespace

std::wstring percentDecode(std::wstring value) {
    std::wstring decoded;
    decoded.reserve(value.size());
    std::size_t i = 0;
    while (i < value.size()) {
        const wchar_t unit = value[i];
        if (unit == L'%') {
            const int high = i + 1 < value.size() ? hexDigitValue(value[i + 1]) : -1;
            if (high < 0) {
                // Not an escape at all ("100%", "%zz"): keep the "%" and go on
                // with the next unit, so nothing after it is swallowed.
                decoded.push_back(L'%');
                i += 1;
                continue;
            }
            // Like a %x scan of at most two units: the digits that are there.
            const int low = i + 2 < value.size() ? hexDigitValue(value[i + 2]) : -1;
            const int byte = low < 0 ? high : high * 16 + low;
            // 0x80..0xFF become the units 0x80..0xFF (Latin-1), never a
            // sign-extended 0xFF80..0xFFFF.
            decoded.push_back(static_cast<wchar_t>(byte));
            i += 3;
        } else if (unit == L'+') {
            decoded.push_back(L' ');
            i += 1;
        } else {
            decoded.push_back(unit);
            i += 1;
        }
    }
    return decoded;
}

namespace {

// Every decoded key and value ends up on a command line. A line break or tab
// there can split one value into several switches for an installer that
// parses its line on its own, a NUL cuts the line short, and the other C0 and
// C1 controls (U+0085 is a line break to some) are never part of a real
// address or id.
std::wstring withoutControlCharacters(std::wstring text) {
    std::erase_if(text, [](wchar_t unit) {
        const auto code = static_cast<std::uint32_t>(unit);
        return code < 0x20 || (code >= 0x7F && code <= 0x9F);
    });
    return text;
}

}  // namespace

std::wstring decodePayloadValue(const std::string& raw) {
    return withoutControlCharacters(percentDecode(platform::fromUtf8(raw)));
}

std::wstring decodePayloadKey(const std::string& raw) { return withoutControlCharacters(platform::fromUtf8(raw)); }

std::wstring takeSetting(PayloadMap& payload, const std::string& key) {
    const auto found = payload.find(key);
    if (found == payload.end()) return {};
    std::wstring value = decodePayloadValue(found->second);
    payload.erase(found);
    return value;
}

PayloadSettings takeSettings(PayloadMap& payload) {
    PayloadSettings settings;
    settings.vid = takeSetting(payload, "vid");
    settings.partnerId = takeSetting(payload, "partnerId");
    settings.contentType = takeSetting(payload, "contentType");
    settings.contentAddress = takeSetting(payload, "contentAddress");
    settings.offerUrl = takeSetting(payload, "offerUrl");
    settings.silentMode = takeSetting(payload, "silentMode") == L"true";
    return settings;
}
