// ECDSA P-256 checks against a key pair and signatures made once with the
// openssl command line: the genuine one holds, every altered one is refused
// as invalid (not as unavailable), natively and under Wine alike.
#include "platform/p256_signature.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

// `openssl ecparam -name prime256v1 -genkey`, twice; the message signed with
// `openssl dgst -sha256 -sign` by each key, DER turned into r then s.
constexpr const char* kKeyA =
    "3caa126b0cfff93e8b1b101c038135d9661eae5200847729c498e56f5a4b79a4"
    "fdb0a17938a5061597385b80801ad97923330db396642b9cc4a3001a9e5fd76d";
constexpr const char* kSignatureA =
    "72df627055219cfcf3bc8bfbb7e30e802258f144669ae3f2646e970c55af8ecd"
    "d9460e8be5974ef16150898204f659d2fcdd255e5aa5cec6e92906cff4576822";
constexpr const char* kSignatureB =
    "b2838bcac2a6507cf03f2e558706a54133335e894c661c51dc99acf8e03c79d6"
    "3166440fd37b137f3097ac507aaa5d0b0908132a4327a59829fca8bae19d44d6";
constexpr const char* kMessage = "vorlane payload seal";

std::array<std::uint8_t, 64> fromHex(const char* hex) {
    std::array<std::uint8_t, 64> bytes{};
    for (std::size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<std::uint8_t>(std::stoi(std::string(hex + 2 * i, 2), nullptr, 16));
    return bytes;
}

std::array<std::uint8_t, 64> flipped(std::array<std::uint8_t, 64> bytes, std::size_t index) {
    bytes[index] ^= 0x01;
    return bytes;
}

std::array<std::uint8_t, 64> zeroed(std::array<std::uint8_t, 64> bytes, std::size_t from) {
    std::fill(bytes.begin() + static_cast<std::ptrdiff_t>(from), bytes.begin() + static_cast<std::ptrdiff_t>(from + 32),
              0);
    return bytes;
}

bool underWine() {
#ifdef _WIN32
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
#else
    return false;
#endif
}

struct Case {
    const char* name;
    platform::P256PublicKey key;
    std::string message;
    platform::P256Signature signature;
    platform::SignatureCheck expected;
};

TEST(P256Signature, HoldsOnlyForTheSignedMessageAndKey) {
    using platform::SignatureCheck;
    const auto keyA = fromHex(kKeyA);
    const auto signatureA = fromHex(kSignatureA);
    std::string detail;
    if (underWine() && platform::verifyP256Sha256(keyA, kMessage, signatureA, &detail) == SignatureCheck::unavailable)
        GTEST_SKIP() << "this Wine cannot check ECDSA P-256: " << detail;

    std::string alteredMessage = kMessage;
    alteredMessage[3] ^= 0x01;
    const Case cases[] = {
        {"genuine", keyA, kMessage, signatureA, SignatureCheck::valid},
        {"message bit", keyA, alteredMessage, signatureA, SignatureCheck::invalid},
        {"r bit", keyA, kMessage, flipped(signatureA, 31), SignatureCheck::invalid},
        {"s bit", keyA, kMessage, flipped(signatureA, 63), SignatureCheck::invalid},
        {"other key's signature", keyA, kMessage, fromHex(kSignatureB), SignatureCheck::invalid},
        {"r zero", keyA, kMessage, zeroed(signatureA, 0), SignatureCheck::invalid},
        {"s zero", keyA, kMessage, zeroed(signatureA, 32), SignatureCheck::invalid},
        {"key off the curve", flipped(keyA, 63), kMessage, signatureA, SignatureCheck::invalid},
        {"all-zero key", {}, kMessage, signatureA, SignatureCheck::invalid},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        detail.clear();
        EXPECT_EQ(platform::verifyP256Sha256(c.key, c.message, c.signature, &detail), c.expected) << detail;
    }
}

}  // namespace
