// SHA-256 of bytes and of open files, as 64 lower-case hex digits: what the
// engine records of a finished download and compares before it is started.
// The hashing itself is the system's (CNG on Windows, libcrypto on Linux).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/file.h"

namespace platform {

class Sha256 {
public:
    static constexpr std::size_t kDigestBytes = 32;

    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;

    void update(const void* data, std::size_t size);
    // The digest of everything given so far; empty when the system could not
    // compute it. Ends the hash: a second call gives empty text.
    std::string finishHex() {
        unsigned char digest[kDigestBytes];
        if (!finish(digest)) return {};
        static constexpr char kDigits[] = "0123456789abcdef";
        std::string hex;
        for (const unsigned char byte : digest) {
            hex += kDigits[byte >> 4];
            hex += kDigits[byte & 0x0F];
        }
        return hex;
    }
    // The same digest as raw bytes (what a signature check takes); false
    // when the system could not compute it. Ends the hash as well.
    bool finish(unsigned char (&digest)[kDigestBytes]);

private:
    struct State;
    std::unique_ptr<State> m_state;
};

inline std::string sha256Hex(std::string_view bytes) {
    Sha256 hash;
    hash.update(bytes.data(), bytes.size());
    return hash.finishHex();
}

// The file from its first byte to its end, read through the open handle: the
// bytes hashed are the ones that handle holds, whatever the path names by
// now. Empty when a read fails.
inline std::string sha256HexOfFile(const File& file) {
    constexpr std::size_t kChunk = 1 << 20;
    std::vector<unsigned char> buffer(kChunk);
    Sha256 hash;
    for (std::int64_t offset = 0;;) {
        const std::int64_t got = file.readAt(offset, buffer.data(), buffer.size());
        if (got < 0) return {};
        if (got == 0) break;
        hash.update(buffer.data(), static_cast<std::size_t>(got));
        offset += got;
    }
    return hash.finishHex();
}

}  // namespace platform
