// The payload block as the distribution side writes it.
#include "config/stamp_block.h"

#include <algorithm>

#include <boost/locale/utf.hpp>

#include "config/payload.h"
#include "config/payload_seal.h"
#include "config/stream_read.h"

namespace {

bool isUnreserved(unsigned char byte) {
    return (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') || (byte >= '0' && byte <= '9') ||
           byte == '-' || byte == '_' || byte == '.' || byte == '~';
}

// Control bytes never occur in a block we wrote; a run of them after the last
// marker means the marker is just text inside the file, not a block.
bool isControlByte(unsigned char byte) { return byte < 0x20 || byte == 0x7F; }

}  // namespace

std::string formEncode(std::string_view value) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string encoded;
    encoded.reserve(value.size());
    for (const char c : value) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x80 || isUnreserved(byte)) {
            encoded.push_back(c);
        } else {
            encoded.push_back('%');
            encoded.push_back(kHex[byte >> 4]);
            encoded.push_back(kHex[byte & 0x0F]);
        }
    }
    return encoded;
}

bool isValidUtf8(std::string_view text) {
    using Traits = boost::locale::utf::utf_traits<char>;
    const char* position = text.data();
    const char* const end = text.data() + text.size();
    while (position != end) {
        const boost::locale::utf::code_point c = Traits::decode(position, end);
        if (c == boost::locale::utf::illegal || c == boost::locale::utf::incomplete) return false;
    }
    return true;
}

std::string stampKeyProblem(std::string_view key) {
    if (key.empty()) return "the key is empty";
    if (key.find('=') != std::string_view::npos) return "the key holds \"=\"";
    if (key.find(';') != std::string_view::npos) return "the key holds \";\"";
    if (key.find('\0') != std::string_view::npos) return "the key holds a zero byte";
    // Keys are written unencoded: a key holding the marker would make the
    // reader start the block in the middle of that key.
    if (key.find(kPayloadMarker) != std::string_view::npos) return "the key holds the marker \"PayloadInfo:\"";
    if (std::any_of(key.begin(), key.end(), [](char c) { return isControlByte(static_cast<unsigned char>(c)); })) {
        return "the key holds a control character";
    }
    if (!isValidUtf8(key)) return "the key is not valid UTF-8";
    // A program built with a sealing key refuses a block with a second seal.
    if (key == kSealKey) return "the key \"seal\" is the seal's own (stamp --key writes it)";
    return {};
}

std::string stampValueProblem(std::string_view value) {
    if (!isValidUtf8(value)) return "the value is not valid UTF-8";
    return {};
}

namespace {

std::string markerAndItems(const std::vector<StampItem>& items) {
    std::string block(kPayloadMarker);
    for (const StampItem& item : items) {
        block += item.key;
        block += '=';
        block += formEncode(item.value);
        block += ';';
    }
    return block;
}

}  // namespace

std::string buildPayloadBlock(const std::vector<StampItem>& items) { return markerAndItems(items) + '\0'; }

std::string buildSealedPayloadBlock(const std::vector<StampItem>& items, std::string_view productId,
                                    const SealSigner& sign) {
    const std::string signedPart = markerAndItems(items);
    return signedPart + sealItem(sign(sealMessage(productId, signedPart))) + '\0';
}

namespace {

using config::readAt;

}  // namespace

std::optional<std::int64_t> findTrailingPayloadBlock(std::istream& in, std::int64_t size, std::size_t chunkSize,
                                                     std::size_t trailingZeros) {
    if (size <= 0) return std::nullopt;
    chunkSize = std::max(chunkSize, kPayloadMarker.size());
    const std::int64_t start = std::max<std::int64_t>(0, size - kPayloadTailLimit);

    // The items end before the zero bytes of the block's end.
    std::string end(static_cast<std::size_t>(std::min<std::int64_t>(size, static_cast<std::int64_t>(trailingZeros))),
                    '\0');
    if (!readAt(in, size - std::ssize(end), end.data(), end.size())) return std::nullopt;
    const std::size_t zeros = end.size() - (end.find_last_not_of('\0') + 1);
    const std::int64_t itemsEnd = size - static_cast<std::int64_t>(zeros);

    // Walk backwards. Everything between the chunk and itemsEnd has already
    // been checked for control bytes; `carry` holds the first bytes of the
    // later chunk so that a marker across a chunk border is still found.
    std::string carry;
    std::string buffer;
    std::int64_t position = itemsEnd;
    while (position > start) {
        const std::int64_t low = std::max<std::int64_t>(start, position - static_cast<std::int64_t>(chunkSize));
        const auto length = static_cast<std::size_t>(position - low);
        buffer.resize(length);
        if (!readAt(in, low, buffer.data(), length)) return std::nullopt;

        std::optional<std::int64_t> lastControl;
        for (std::size_t i = length; i-- > 0;) {
            if (isControlByte(static_cast<unsigned char>(buffer[i]))) {
                lastControl = low + static_cast<std::int64_t>(i);
                break;
            }
        }
        buffer += carry;
        const std::size_t marker = buffer.rfind(kPayloadMarker);
        if (marker != std::string::npos && (!lastControl || low + static_cast<std::int64_t>(marker) > *lastControl)) {
            const std::int64_t markerOffset = low + static_cast<std::int64_t>(marker);
            const std::int64_t itemsBegin = markerOffset + static_cast<std::int64_t>(kPayloadMarker.size());
            if (itemsBegin == itemsEnd) return markerOffset;
            // Items end in ";": anything after the last one means this is not
            // a block we can swap without losing bytes of the file.
            char lastItemByte = 0;
            if (!readAt(in, itemsEnd - 1, &lastItemByte, 1)) return std::nullopt;
            if (lastItemByte == ';') return markerOffset;
            return std::nullopt;
        }
        // The last marker, wherever it is, lies before this control byte.
        if (lastControl) return std::nullopt;
        carry = buffer.substr(0, std::min(buffer.size(), kPayloadMarker.size() - 1));
        position = low;
    }
    return std::nullopt;
}
