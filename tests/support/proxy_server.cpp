// Debian's tinyproxy as a child process on a free loopback port, and a
// listening socket that never answers.
#include "tests/support/proxy_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <system_error>
#include <thread>

namespace testsupport {
namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

std::string readWhole(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace

TinyProxy::TinyProxy() {
    const fs::path logFile = m_dir / "tinyproxy.log";
    const fs::path confFile = m_dir / "tinyproxy.conf";
    std::string lastLog;
    // The chosen port can be taken before tinyproxy binds it: try a few.
    for (int attempt = 0; attempt < 5; ++attempt) {
        m_port = freeLoopbackPort();
        std::ofstream conf(confFile, std::ios::trunc);
        conf << "Port " << m_port << "\n"
             << "Listen 127.0.0.1\n"
             << "Timeout 30\n"
             << "LogFile \"" << logFile.string() << "\"\n"
             << "LogLevel Info\n"
             << "MaxClients 32\n"
             << "Allow 127.0.0.1\n"
             << "DisableViaHeader Yes\n";
        conf.close();
        std::error_code ec;
        fs::remove(logFile, ec);
        m_process = std::make_unique<ChildProcess>(
            std::vector<std::string>{"/usr/bin/tinyproxy", "-d", "-c", confFile.string()}, std::vector<std::string>{},
            m_dir / "tinyproxy.out");
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        bool started = false;
        // tinyproxy logs the main loop only once it holds its socket, so the
        // port that answers is its own.
        while (std::chrono::steady_clock::now() < deadline && m_process->running()) {
            if (readWhole(logFile).find("Starting main loop") != std::string::npos && waitForPort(m_port, 100ms)) {
                started = m_process->running();
                break;
            }
            std::this_thread::sleep_for(10ms);
        }
        if (started) return;
        m_process->stop();
        m_process.reset();
        lastLog = readWhole(logFile) + readWhole(m_dir / "tinyproxy.out");
        if (lastLog.find("in use") == std::string::npos) break;
    }
    throw std::runtime_error("tinyproxy did not start on 127.0.0.1:" + std::to_string(m_port) + "; its log:\n" +
                             lastLog);
}

TinyProxy::~TinyProxy() {
    if (m_process) m_process->stop();
}

std::string TinyProxy::address() const { return "127.0.0.1:" + std::to_string(m_port); }

std::string TinyProxy::log() const { return readWhole(m_dir / "tinyproxy.log"); }

SilentListener::SilentListener() {
    m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_fd < 0) throw std::system_error(errno, std::generic_category(), "socket");
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    // The kernel completes handshakes up to the backlog by itself, so clients
    // connect and then wait for an answer that never comes.
    if (::bind(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(m_fd, 64) != 0 ||
        ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        const int saved = errno;
        ::close(m_fd);
        throw std::system_error(saved, std::generic_category(), "silent listener");
    }
    m_port = ntohs(addr.sin_port);
}

SilentListener::~SilentListener() {
    if (m_fd >= 0) ::close(m_fd);
}

}  // namespace testsupport
