// Linux side of platform::Sha256: OpenSSL's libcrypto (EVP).
#include "platform/sha256.h"

#include <openssl/evp.h>

namespace platform {

struct Sha256::State {
    EVP_MD_CTX* context = nullptr;
    bool ok = false;
};

Sha256::Sha256() : m_state(std::make_unique<State>()) {
    m_state->context = EVP_MD_CTX_new();
    m_state->ok = m_state->context != nullptr && EVP_DigestInit_ex(m_state->context, EVP_sha256(), nullptr) == 1;
}

Sha256::~Sha256() { EVP_MD_CTX_free(m_state->context); }

void Sha256::update(const void* data, std::size_t size) {
    if (m_state->ok && size > 0) m_state->ok = EVP_DigestUpdate(m_state->context, data, size) == 1;
}

bool Sha256::finish(unsigned char (&digest)[kDigestBytes]) {
    unsigned int length = 0;
    const bool done = m_state->ok && EVP_DigestFinal_ex(m_state->context, digest, &length) == 1 &&
                      length == kDigestBytes;
    m_state->ok = false;
    return done;
}

}  // namespace platform
