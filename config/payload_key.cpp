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
    // CMake writes the digits; should they ever be malformed, a key of zeros
    // is no point of the curve, so every block is refused rather than taken.
    if (!fromLowerHex(hex, key)) key.fill(0);
    return key;
}
