// Loads the sealing key and signs with OpenSSL's libcrypto.
#include "tools/stamp/seal_key.h"

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <vector>

struct SealKey::Key {
    EVP_PKEY* pkey = nullptr;
    ~Key() { EVP_PKEY_free(pkey); }
};

namespace {

std::string opensslError() {
    const unsigned long code = ERR_get_error();
    char text[256] = {};
    if (code != 0) ERR_error_string_n(code, text, sizeof(text));
    ERR_clear_error();
    return text;
}

// Hands the passphrase over, and never prompts on a terminal: a key that
// needs one and was given none fails instead.
int passphraseCallback(char* buffer, int size, int, void* data) {
    const auto* passphrase = static_cast<const std::string*>(data);
    if (!passphrase || passphrase->size() > static_cast<std::size_t>(size)) return -1;
    std::memcpy(buffer, passphrase->data(), passphrase->size());
    return static_cast<int>(passphrase->size());
}

}  // namespace

SealKey::SealKey(const std::filesystem::path& pem, const std::string* passphrase) : m_key(std::make_unique<Key>()) {
    std::unique_ptr<BIO, decltype(&BIO_free)> in(BIO_new_file(pem.string().c_str(), "rb"), &BIO_free);
    if (!in) throw std::runtime_error(pem.string() + ": cannot be read");
    m_key->pkey = PEM_read_bio_PrivateKey(in.get(), nullptr, &passphraseCallback, const_cast<std::string*>(passphrase));
    if (!m_key->pkey) {
        const std::string reason = opensslError();
        throw std::runtime_error(pem.string() + ": no private key could be read (" + reason +
                                 (passphrase ? ")" : "; an encrypted key needs STAMP_KEY_PASSPHRASE)"));
    }
    char curve[64] = {};
    std::size_t length = 0;
    if (EVP_PKEY_get_base_id(m_key->pkey) != EVP_PKEY_EC ||
        !EVP_PKEY_get_group_name(m_key->pkey, curve, sizeof(curve), &length) ||
        std::string_view(curve, length) != "prime256v1") {
        throw std::runtime_error(pem.string() + ": not an ECDSA P-256 (prime256v1) private key");
    }
}

SealKey::~SealKey() = default;

platform::P256Signature SealKey::sign(std::string_view message) const {
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
    std::size_t length = 0;
    if (!context || EVP_DigestSignInit(context.get(), nullptr, EVP_sha256(), nullptr, m_key->pkey) != 1 ||
        EVP_DigestSign(context.get(), nullptr, &length, reinterpret_cast<const unsigned char*>(message.data()),
                       message.size()) != 1)
        throw std::runtime_error("signing failed: " + opensslError());
    std::vector<unsigned char> der(length);
    if (EVP_DigestSign(context.get(), der.data(), &length, reinterpret_cast<const unsigned char*>(message.data()),
                       message.size()) != 1)
        throw std::runtime_error("signing failed: " + opensslError());
    // OpenSSL writes DER; the seal carries r and s as they are.
    const unsigned char* cursor = der.data();
    std::unique_ptr<ECDSA_SIG, decltype(&ECDSA_SIG_free)> parsed(
        d2i_ECDSA_SIG(nullptr, &cursor, static_cast<long>(length)), &ECDSA_SIG_free);
    const BIGNUM* r = nullptr;
    const BIGNUM* s = nullptr;
    if (parsed) ECDSA_SIG_get0(parsed.get(), &r, &s);
    platform::P256Signature signature{};
    if (!r || !s || BN_bn2binpad(r, signature.data(), 32) != 32 || BN_bn2binpad(s, signature.data() + 32, 32) != 32)
        throw std::runtime_error("signing failed: the signature could not be read back");
    return signature;
}
