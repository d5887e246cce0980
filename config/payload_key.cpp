// The distributor's public key as the build compiled it in.
#include "config/payload_seal.h"

// From the build option PAYLOAD_PUBLIC_KEY: X then Y as 128 lower-case hex
// digits, empty when the option is not set.
#ifndef VORLANE_PAYLOAD_PUBLIC_KEY
#error "payload_key.cpp is built with VORLANE_PAYLOAD_PUBLIC_KEY defined"
#endif

std::optional<platform::P256PublicKey> buildPayloadPublicKey() {
    constexpr std::string_view hex = VORLANE_PAYLOAD_PUBLIC_KEY;
    static_assert(hex.empty() || hex.size() == 128, "PAYLOAD_PUBLIC_KEY gives X and Y, 32 bytes each");
    if (hex.empty()) return std::nullopt;
    platform::P256PublicKey key{};
    const auto value = [](char c) { return c <= '9' ? c - '0' : c - 'a' + 10; };
    for (std::size_t i = 0; i < key.size(); ++i)
        key[i] = static_cast<std::uint8_t>(value(hex[2 * i]) * 16 + value(hex[2 * i + 1]));
    return key;
}
