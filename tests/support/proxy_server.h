// Debian's tinyproxy on a free loopback port, for the proxy tests.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "tests/support/test_env.h"

namespace testsupport {

class TinyProxy {
public:
    TinyProxy();
    ~TinyProxy();
    TinyProxy(const TinyProxy&) = delete;
    TinyProxy& operator=(const TinyProxy&) = delete;
    std::uint16_t port() const { return m_port; }
    std::string address() const;   // "127.0.0.1:<port>"
    // Lines of tinyproxy's log so far (shows the requests it relayed).
    std::string log() const;

private:
    TempDir m_dir;
    std::uint16_t m_port = 0;
    std::unique_ptr<ChildProcess> m_process;
};

// A loopback port that accepts TCP connections and never answers (for
// "proxy does not answer" and stall tests); closed on destruction.
class SilentListener {
public:
    SilentListener();
    ~SilentListener();
    SilentListener(const SilentListener&) = delete;
    SilentListener& operator=(const SilentListener&) = delete;
    std::uint16_t port() const { return m_port; }

private:
    int m_fd = -1;
    std::uint16_t m_port = 0;
};

}  // namespace testsupport
