// Writing side of the payload block: the form encoding a distributor applies
// to values, the checks on what may be stamped, the block's bytes, and finding
// a block that already ends a file. Shared by the `stamp` tool and its tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <istream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/p256_signature.h"

// Every ASCII byte outside A-Z a-z 0-9 - _ . ~ becomes "%XX" (upper-case hex),
// so an encoded value never holds ";", "=", "%", "+" or the marker's ":".
// Bytes of 0x80 and above stay as they are: the reader turns each escape into
// one UTF-16 unit, so non-ASCII text reaches the program only as raw UTF-8.
std::string formEncode(std::string_view value);

// Strict UTF-8: no overlong forms, surrogates, code points above U+10FFFF or
// truncated sequences.
bool isValidUtf8(std::string_view text);

// Why a key or a value cannot be stamped; empty when it can.
std::string stampKeyProblem(std::string_view key);
std::string stampValueProblem(std::string_view value);

struct StampItem {
    std::string key;    // raw key, written as it is
    std::string value;  // UTF-8 text, written form-encoded
};

// The marker, "key=encoded value;" per item in order, then one zero byte.
std::string buildPayloadBlock(const std::vector<StampItem>& items);

// Signs the bytes a seal covers (see payload_seal.h).
using SealSigner = std::function<platform::P256Signature(std::string_view message)>;

// The same block sealed for the program of `productId`: the seal item last,
// before the zero byte.
std::string buildSealedPayloadBlock(const std::vector<StampItem>& items, std::string_view productId,
                                    const SealSigner& sign);

// Where the payload block that ends a stream of `size` bytes starts (the
// offset of its marker), if the stream ends in one: the last marker within
// the examined tail, followed only by items (each ending in ";", no control
// bytes) and at most `trailingZeros` zero bytes (one: the block's own; a block
// inside a certificate table also has up to seven bytes of padding). The
// stream is read backwards in chunks, so a file of any size costs at most one
// chunk of memory.
std::optional<std::int64_t> findTrailingPayloadBlock(std::istream& in, std::int64_t size,
                                                     std::size_t chunkSize = std::size_t{1} << 20,
                                                     std::size_t trailingZeros = 1);

// The zero bytes after a block that ends a certificate table, at most.
inline constexpr std::size_t kSignedBlockTrailingZeros = 8;
