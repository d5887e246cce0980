// ECDSA P-256 signatures over SHA-256 with raw keys and raw signatures, as
// the payload seal carries them: the system's own cryptography (CNG on
// Windows, libcrypto on Linux), so the program gains no library.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace platform {

// An uncompressed public point without its 0x04 prefix: X then Y, 32 bytes
// each, big-endian.
using P256PublicKey = std::array<std::uint8_t, 64>;
// r then s, 32 bytes each, big-endian (what CNG verifies; not DER).
using P256Signature = std::array<std::uint8_t, 64>;

enum class SignatureCheck {
    valid,
    invalid,      // the signature does not hold for this key and message (or the key is no point of the curve)
    unavailable,  // the system could not check at all (no ECDSA provider): refused all the same
};

// Checks `signature` over SHA-256(`message`) with `key`. For `unavailable`,
// `detail` (when given) says which call failed and how.
SignatureCheck verifyP256Sha256(const P256PublicKey& key, std::string_view message, const P256Signature& signature,
                                std::string* detail = nullptr);

}  // namespace platform
