// The distributor's private sealing key, read with OpenSSL from a PEM file as
// `openssl` writes it, and the seals it makes.
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

#include "platform/p256_signature.h"

class SealKey {
public:
    // An ECDSA P-256 private key (SEC 1 "EC PRIVATE KEY" or PKCS #8, plain
    // or encrypted with `passphrase`). Throws std::runtime_error saying what
    // is wrong: no such file, no private key, another kind or curve, an
    // encrypted key without or with a wrong passphrase.
    SealKey(const std::filesystem::path& pem, const std::string* passphrase);
    ~SealKey();
    SealKey(const SealKey&) = delete;
    SealKey& operator=(const SealKey&) = delete;

    // ECDSA over SHA-256(message), r and s as 32 big-endian bytes each.
    platform::P256Signature sign(std::string_view message) const;

private:
    struct Key;
    std::unique_ptr<Key> m_key;
};
