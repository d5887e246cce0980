// The distributor's seal on a payload block. A block is sealed by its last
// item, "seal=" and 128 lower-case hex digits: the ECDSA P-256 signature
// (SHA-256, raw r then s) over
//   the context text "Vorlane payload seal v1" and one zero byte,
//   the product id's length (4 bytes, big-endian) and the product id,
//   every byte of the block from its marker up to the seal item,
// followed by nothing but zero bytes (the block's own and a signed file's
// padding). A program built with the distributor's public key takes a block
// only when its seal holds for that program's product, checked on the raw
// bytes before anything is decoded: so a block can be neither changed nor
// moved to another product's program.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "config/payload.h"
#include "platform/p256_signature.h"

inline constexpr std::string_view kSealKey = "seal";

// The bytes the seal signs: the context, the product id and `signedBlock`,
// the block from its marker up to (not including) the seal item.
std::string sealMessage(std::string_view productId, std::string_view signedBlock);

// 128 lower-case hex digits as the 64 bytes of a key or a signature; false
// for anything else (upper case included: a seal has one spelling).
bool fromLowerHex(std::string_view hex, std::array<std::uint8_t, 64>& out);

// "seal=<hex>;" for `signature`.
std::string sealItem(const platform::P256Signature& signature);

// A block parted at its seal.
struct SealedBlock {
    std::string_view signedPart;  // marker and items before the seal item
    platform::P256Signature signature;
};

// Finds the seal of `block` (as findPayloadBlock gives it): none, with the
// reason in `why`, when the last item is not exactly a seal item, anything
// but zero bytes follows it, or another item is keyed "seal".
std::optional<SealedBlock> splitSealedBlock(std::string_view block, std::string& why);

struct SealCheck {
    enum Verdict { sealed, refused, uncheckable } verdict = refused;
    // The block's items but the seal; empty unless sealed.
    PayloadMap payload;
    // Why it was refused, or which system call could not check it.
    std::string detail;
};

// The payload of the examined tail of a program built for `productId` with
// the distributor's `key`: taken only when the block's seal holds. A tail
// without any block is refused too: stripping the block would otherwise
// take the seal away with it.
SealCheck checkSealedPayload(std::string_view tail, std::string_view productId, const platform::P256PublicKey& key);

// The distributor's public key compiled into this build (build option
// PAYLOAD_PUBLIC_KEY); none when the build takes any block unsealed.
std::optional<platform::P256PublicKey> buildPayloadPublicKey();
