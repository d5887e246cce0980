#include "platform/system.h"

#include "platform/text.h"

namespace platform {

std::filesystem::path nativePath(const std::wstring& path) {
    if constexpr (sizeof(wchar_t) == 2) {
        return std::filesystem::path(path);
    } else {
        // libstdc++ converts wchar_t paths with the C locale on POSIX, which
        // refuses non-ASCII text: hand it UTF-8 bytes instead.
        return std::filesystem::path(toUtf8(path));
    }
}

std::wstring temporaryDirectory() {
    std::filesystem::path dir = std::filesystem::temp_directory_path();
    std::wstring text;
    if constexpr (sizeof(wchar_t) == 2) {
        text = dir.wstring();
    } else {
        text = fromUtf8(dir.string());
    }
    while (text.size() > 1 && (text.back() == L'/' || text.back() == L'\\')) text.pop_back();
    return text;
}

}  // namespace platform
