// A fresh directory under the temporary directory for one test, removed with
// its contents afterwards. Portable: the unit tests also run under Wine.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <filesystem>
#include <iterator>
#include <string>
#include <system_error>

namespace unittest {

class ScratchDir {
public:
    ScratchDir() {
        static std::atomic<int> counter{0};
        const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
        m_path = std::filesystem::temp_directory_path() /
                 ("vorlane-unit-" + std::to_string(stamp) + "-" + std::to_string(counter++));
        std::filesystem::create_directories(m_path);
    }
    ~ScratchDir() {
        std::error_code ignored;
        std::filesystem::remove_all(m_path, ignored);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    const std::filesystem::path& path() const { return m_path; }
    std::filesystem::path operator/(const std::string& name) const { return m_path / name; }
    // Wide path of a file inside the directory, as the engine takes paths.
    std::wstring file(const std::string& name) const { return (m_path / std::filesystem::path(name)).wstring(); }
    std::wstring file(const std::wstring& name) const { return (m_path / std::filesystem::path(name)).wstring(); }
    std::size_t entries() const {
        return static_cast<std::size_t>(
            std::distance(std::filesystem::directory_iterator(m_path), std::filesystem::directory_iterator()));
    }

private:
    std::filesystem::path m_path;
};

}  // namespace unittest
