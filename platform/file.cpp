// The parts of platform::File that are the same on every system: ownership
// of the handle and writing a whole small file.
#include "platform/file.h"

#include <utility>

namespace platform {

File::~File() { close(); }

File::File(File&& other) noexcept
    : m_handle(std::exchange(other.m_handle, -1)), m_writable(std::exchange(other.m_writable, false)) {}

File& File::operator=(File&& other) noexcept {
    if (this != &other) {
        close();
        m_handle = std::exchange(other.m_handle, -1);
        m_writable = std::exchange(other.m_writable, false);
    }
    return *this;
}

bool File::writeWhole(const std::wstring& path, const std::string& bytes, bool durable) {
    File file;
    if (!file.openForWriting(path) || !file.resize(0)) return false;
    if (!file.writeAt(0, bytes.data(), bytes.size())) return false;
    if (durable && !file.sync()) return false;
    file.close();
    return true;
}

}  // namespace platform
