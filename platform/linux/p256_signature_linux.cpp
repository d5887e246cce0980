// Linux side of platform::verifyP256Sha256: OpenSSL 3's libcrypto, which
// wants the point with its 0x04 prefix and the signature in DER.
#include "platform/p256_signature.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/params.h>

#include <algorithm>
#include <memory>

namespace platform {

namespace {

struct Free {
    void operator()(EVP_PKEY_CTX* context) const { EVP_PKEY_CTX_free(context); }
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
    void operator()(ECDSA_SIG* signature) const { ECDSA_SIG_free(signature); }
    void operator()(unsigned char* bytes) const { OPENSSL_free(bytes); }
};
template <typename T>
using Owned = std::unique_ptr<T, Free>;

SignatureCheck unavailable(std::string* detail, const char* call) {
    if (detail != nullptr) {
        *detail = call;
        *detail += ": ";
        char text[256];
        ERR_error_string_n(ERR_peek_last_error(), text, sizeof text);
        *detail += text;
    }
    return SignatureCheck::unavailable;
}

// Null when the point is no point of the curve.
Owned<EVP_PKEY> importKey(const P256PublicKey& key, EVP_PKEY_CTX* context) {
    unsigned char point[1 + std::tuple_size_v<P256PublicKey>] = {0x04};
    std::copy(key.begin(), key.end(), point + 1);
    char group[] = "prime256v1";
    const OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_PKEY_PARAM_GROUP_NAME, group, 0),
                                 OSSL_PARAM_construct_octet_string(OSSL_PKEY_PARAM_PUB_KEY, point, sizeof point),
                                 OSSL_PARAM_construct_end()};
    EVP_PKEY* imported = nullptr;
    if (EVP_PKEY_fromdata(context, &imported, EVP_PKEY_PUBLIC_KEY, const_cast<OSSL_PARAM*>(params)) != 1) return {};
    return Owned<EVP_PKEY>(imported);
}

// r and s as the DER sequence libcrypto verifies; empty on failure.
std::basic_string<unsigned char> derSignature(const P256Signature& signature) {
    Owned<ECDSA_SIG> sig(ECDSA_SIG_new());
    BIGNUM* r = BN_bin2bn(signature.data(), 32, nullptr);
    BIGNUM* s = BN_bin2bn(signature.data() + 32, 32, nullptr);
    if (!sig || r == nullptr || s == nullptr || ECDSA_SIG_set0(sig.get(), r, s) != 1) {
        BN_free(r);
        BN_free(s);
        return {};
    }
    unsigned char* der = nullptr;
    const int length = i2d_ECDSA_SIG(sig.get(), &der);
    const Owned<unsigned char> owned(der);
    if (length <= 0) return {};
    return {der, static_cast<std::size_t>(length)};
}

SignatureCheck check(const P256PublicKey& key, std::string_view message, const P256Signature& signature,
                     std::string* detail) {
    const Owned<EVP_PKEY_CTX> context(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr));
    if (!context || EVP_PKEY_fromdata_init(context.get()) != 1) return unavailable(detail, "EVP_PKEY_fromdata_init");
    // libcrypto refuses a point off the curve (or at infinity) on import.
    const Owned<EVP_PKEY> publicKey = importKey(key, context.get());
    if (!publicKey) return SignatureCheck::invalid;

    const auto der = derSignature(signature);
    if (der.empty()) return unavailable(detail, "i2d_ECDSA_SIG");
    const Owned<EVP_MD_CTX> verifier(EVP_MD_CTX_new());
    if (!verifier ||
        EVP_DigestVerifyInit_ex(verifier.get(), nullptr, "SHA256", nullptr, nullptr, publicKey.get(), nullptr) != 1)
        return unavailable(detail, "EVP_DigestVerifyInit_ex");
    // 0 is a signature that does not hold, below 0 one libcrypto refused
    // before checking (r or s zero, say): either way nothing is proven.
    return EVP_DigestVerify(verifier.get(), der.data(), der.size(),
                            reinterpret_cast<const unsigned char*>(message.data()), message.size()) == 1
               ? SignatureCheck::valid
               : SignatureCheck::invalid;
}

}  // namespace

SignatureCheck verifyP256Sha256(const P256PublicKey& key, std::string_view message, const P256Signature& signature,
                                std::string* detail) {
    const SignatureCheck result = check(key, message, signature, detail);
    // Whatever failed stays out of the thread's queue, where other users of
    // libcrypto would take it for theirs.
    ERR_clear_error();
    return result;
}

}  // namespace platform
