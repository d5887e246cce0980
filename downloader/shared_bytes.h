// Reference-counted byte array shared between worker buffers and the writer.
#pragma once

#include <cstdint>
#include <memory>

using SharedBytes = std::shared_ptr<char[]>;

inline SharedBytes makeSharedBytes(std::int32_t length) {
    return SharedBytes(new char[length > 0 ? static_cast<std::size_t>(length) : 1]);
}
