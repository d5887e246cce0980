// Windows side of the OS queries.
#include "platform/system.h"

#include <windows.h>

#include <vector>

namespace platform {

std::wstring ownExecutablePath() {
    // The module path may exceed MAX_PATH; grow the buffer until it fits.
    std::vector<wchar_t> buffer(MAX_PATH);
    for (;;) {
        const DWORD length = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length == 0) return {};
        if (length < buffer.size()) return std::wstring(buffer.data(), length);
        if (buffer.size() >= 32768) return {};
        buffer.resize(buffer.size() * 2);
    }
}

std::uint16_t userInterfaceLanguage() { return GetUserDefaultUILanguage(); }

}  // namespace platform
