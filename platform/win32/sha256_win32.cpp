// Windows side of platform::Sha256: the system's CNG provider (bcrypt.dll,
// which the program imports for libcurl already).
#include "platform/sha256.h"

#include <windows.h>

#include <bcrypt.h>

#include <algorithm>

namespace platform {

struct Sha256::State {
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    bool ok = false;
};

namespace {

bool succeeded(NTSTATUS status) { return status >= 0; }

}  // namespace

Sha256::Sha256() : m_state(std::make_unique<State>()) {
    // The hash object's memory is left to the provider (no buffer given).
    m_state->ok = succeeded(BCryptOpenAlgorithmProvider(&m_state->algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0)) &&
                  succeeded(BCryptCreateHash(m_state->algorithm, &m_state->hash, nullptr, 0, nullptr, 0, 0));
}

Sha256::~Sha256() {
    if (m_state->hash != nullptr) BCryptDestroyHash(m_state->hash);
    if (m_state->algorithm != nullptr) BCryptCloseAlgorithmProvider(m_state->algorithm, 0);
}

void Sha256::update(const void* data, std::size_t size) {
    // CNG takes a ULONG length; larger inputs go in slices.
    auto* bytes = static_cast<UCHAR*>(const_cast<void*>(data));
    while (m_state->ok && size > 0) {
        const ULONG slice = static_cast<ULONG>(std::min<std::size_t>(size, 0x40000000u));
        m_state->ok = succeeded(BCryptHashData(m_state->hash, bytes, slice, 0));
        bytes += slice;
        size -= slice;
    }
}

bool Sha256::finish(unsigned char (&digest)[kDigestBytes]) {
    const bool done = m_state->ok && succeeded(BCryptFinishHash(m_state->hash, digest, kDigestBytes, 0));
    m_state->ok = false;
    return done;
}

}  // namespace platform
