// Parts a payload block at its seal and checks the seal against the
// distributor's key; the signature itself is the system's to check.
#include "config/payload_seal.h"

#include <array>
#include <cstdint>

namespace {

constexpr std::string_view kSealContext = "Vorlane payload seal v1";

int lowerHexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

}  // namespace

bool fromLowerHex(std::string_view hex, std::array<std::uint8_t, 64>& out) {
    if (hex.size() != 2 * out.size()) return false;
    for (std::size_t i = 0; i < out.size(); ++i) {
        const int high = lowerHexValue(hex[2 * i]);
        const int low = lowerHexValue(hex[2 * i + 1]);
        if (high < 0 || low < 0) return false;
        out[i] = static_cast<std::uint8_t>(high * 16 + low);
    }
    return true;
}

std::string sealMessage(std::string_view productId, std::string_view signedBlock) {
    std::string message(kSealContext);
    message += '\0';
    const auto length = static_cast<std::uint32_t>(productId.size());
    for (int shift = 24; shift >= 0; shift -= 8) message += static_cast<char>((length >> shift) & 0xFF);
    message += productId;
    message += signedBlock;
    return message;
}

std::string sealItem(const platform::P256Signature& signature) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string item(kSealKey);
    item += '=';
    for (const std::uint8_t byte : signature) {
        item += kDigits[byte >> 4];
        item += kDigits[byte & 0x0F];
    }
    return item + ';';
}

std::optional<SealedBlock> splitSealedBlock(std::string_view block, std::string& why) {
    // Only the block's own zero byte and a signed file's padding may follow.
    std::string_view items = block.substr(kPayloadMarker.size());
    while (!items.empty() && items.back() == '\0') items.remove_suffix(1);
    if (items.empty() || items.back() != ';') {
        why = "the block does not end in an item";
        return std::nullopt;
    }
    items.remove_suffix(1);
    const std::size_t lastStart = items.rfind(';') == std::string_view::npos ? 0 : items.rfind(';') + 1;
    const std::string_view last = items.substr(lastStart);
    const std::string prefix = std::string(kSealKey) + "=";
    SealedBlock sealed{};
    if (last.substr(0, prefix.size()) != prefix ||
        !fromLowerHex(last.substr(prefix.size()), sealed.signature)) {
        why = "the last item is no seal";
        return std::nullopt;
    }
    // Every earlier item, as the reader would split them: none may be a seal.
    for (std::string_view rest = items.substr(0, lastStart); !rest.empty();) {
        const std::size_t end = rest.find(';');
        const std::string_view item = rest.substr(0, end);
        if (item.substr(0, prefix.size()) == prefix) {
            why = "a second seal item";
            return std::nullopt;
        }
        if (end == std::string_view::npos) break;
        rest.remove_prefix(end + 1);
    }
    sealed.signedPart = block.substr(0, kPayloadMarker.size() + lastStart);
    return sealed;
}

SealCheck checkSealedPayload(std::string_view tail, std::string_view productId, const platform::P256PublicKey& key) {
    SealCheck check;
    const std::optional<std::string_view> block = findPayloadBlock(tail);
    if (!block) {
        check.detail = "no payload block";
        return check;
    }
    const std::optional<SealedBlock> sealed = splitSealedBlock(*block, check.detail);
    if (!sealed) return check;
    std::string detail;
    switch (platform::verifyP256Sha256(key, sealMessage(productId, sealed->signedPart), sealed->signature, &detail)) {
    case platform::SignatureCheck::valid:
        check.verdict = SealCheck::sealed;
        check.payload = parsePayload(sealed->signedPart);
        return check;
    case platform::SignatureCheck::invalid:
        check.detail = "the seal does not hold";
        return check;
    case platform::SignatureCheck::unavailable:
        check.verdict = SealCheck::uncheckable;
        check.detail = detail;
        return check;
    }
    return check;
}
