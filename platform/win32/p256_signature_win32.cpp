// Windows side of platform::verifyP256Sha256: CNG's ECDSA P-256 provider
// (bcrypt.dll, delay-loaded like the program's other system DLLs), which
// takes the raw point and the raw r and s as they are.
#include "platform/p256_signature.h"

#include <windows.h>

#include <bcrypt.h>

#include <cstdio>
#include <cstring>

#include "platform/sha256.h"

namespace platform {

namespace {

// From ntstatus.h, which clashes with windows.h's own subset.
constexpr NTSTATUS kStatusInvalidSignature = static_cast<NTSTATUS>(0xC000A000);
constexpr NTSTATUS kStatusInvalidParameter = static_cast<NTSTATUS>(0xC000000D);
constexpr NTSTATUS kStatusInternalError = static_cast<NTSTATUS>(0xC00000E5);

SignatureCheck unavailable(std::string* detail, const char* call, NTSTATUS status) {
    if (detail != nullptr) {
        char text[96];
        std::snprintf(text, sizeof text, "%s: 0x%08lx", call, static_cast<unsigned long>(status));
        *detail = text;
    }
    return SignatureCheck::unavailable;
}

struct Provider {
    BCRYPT_ALG_HANDLE handle = nullptr;
    ~Provider() {
        if (handle != nullptr) BCryptCloseAlgorithmProvider(handle, 0);
    }
};

struct Key {
    BCRYPT_KEY_HANDLE handle = nullptr;
    ~Key() {
        if (handle != nullptr) BCryptDestroyKey(handle);
    }
};

}  // namespace

SignatureCheck verifyP256Sha256(const P256PublicKey& key, std::string_view message, const P256Signature& signature,
                                std::string* detail) {
    unsigned char digest[Sha256::kDigestBytes];
    Sha256 hash;
    hash.update(message.data(), message.size());
    if (!hash.finish(digest)) {
        if (detail != nullptr) *detail = "SHA-256 through CNG failed";
        return SignatureCheck::unavailable;
    }

    Provider provider;
    NTSTATUS status = BCryptOpenAlgorithmProvider(&provider.handle, BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0);
    if (status < 0) return unavailable(detail, "BCryptOpenAlgorithmProvider", status);

    unsigned char blob[sizeof(BCRYPT_ECCKEY_BLOB) + std::tuple_size_v<P256PublicKey>];
    const BCRYPT_ECCKEY_BLOB header{BCRYPT_ECDSA_PUBLIC_P256_MAGIC, 32};
    std::memcpy(blob, &header, sizeof header);
    std::memcpy(blob + sizeof header, key.data(), key.size());
    Key imported;
    status =
        BCryptImportKeyPair(provider.handle, nullptr, BCRYPT_ECCPUBLIC_BLOB, &imported.handle, blob, sizeof blob, 0);
    // The blob's form is fixed here, so a refusal of it is a refusal of the
    // point: Windows checks that it lies on the curve; Wine takes any point
    // but GnuTLS cannot take a zero coordinate, an internal error there.
    if (status == kStatusInvalidParameter || status == kStatusInternalError) return SignatureCheck::invalid;
    if (status < 0) return unavailable(detail, "BCryptImportKeyPair", status);

    status = BCryptVerifySignature(imported.handle, nullptr, digest, sizeof digest,
                                   const_cast<UCHAR*>(signature.data()), static_cast<ULONG>(signature.size()), 0);
    if (status == kStatusInvalidSignature) return SignatureCheck::invalid;
    // Only plain success proves the signature: no warning status counts.
    if (status != 0) return unavailable(detail, "BCryptVerifySignature", status);
    return SignatureCheck::valid;
}

}  // namespace platform
