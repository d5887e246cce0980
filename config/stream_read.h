// Positional reads of a seekable stream, shared by the readers of a program
// file (the payload block's finder and the certificate table).
#pragma once

#include <cstddef>
#include <cstdint>
#include <istream>

namespace config {

// Reads exactly `length` bytes at `offset`; false when the stream cannot seek
// there or ends before them. A stream left failed by an earlier read is reset.
inline bool readAt(std::istream& in, std::int64_t offset, char* buffer, std::size_t length) {
    in.clear();
    in.seekg(offset, std::ios::beg);
    if (!in) return false;
    in.read(buffer, static_cast<std::streamsize>(length));
    return in.gcount() == static_cast<std::streamsize>(length);
}

}  // namespace config
