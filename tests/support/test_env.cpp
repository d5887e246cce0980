// Temporary directories, ports, generated files, hashes and child processes
// for tests that run against real programs on this machine.
#include "tests/support/test_env.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <openssl/evp.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <system_error>
#include <thread>

extern char** environ;

namespace testsupport {
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

[[noreturn]] void throwErrno(const std::string& what) {
    throw std::system_error(errno, std::generic_category(), what);
}

// The current environment with `extra` ("NAME=value") added; an extra entry
// replaces an inherited one of the same name.
std::vector<std::string> mergedEnvironment(const std::vector<std::string>& extra) {
    std::vector<std::string> result;
    auto nameOf = [](const std::string& entry) { return entry.substr(0, entry.find('=')); };
    for (char** e = environ; e && *e; ++e) {
        std::string entry(*e);
        bool replaced = false;
        for (const auto& x : extra)
            if (nameOf(x) == nameOf(entry)) replaced = true;
        if (!replaced) result.push_back(entry);
    }
    result.insert(result.end(), extra.begin(), extra.end());
    return result;
}

std::vector<char*> pointerArray(std::vector<std::string>& strings) {
    std::vector<char*> result;
    for (auto& s : strings) result.push_back(s.data());
    result.push_back(nullptr);
    return result;
}

// Starts argv in a process group of its own (so a time-out can kill
// everything it started), stdin from /dev/null. `outFd`/`errFd` of -1 leave
// the stream inherited.
pid_t spawnInOwnGroup(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnv, int outFd,
                      int errFd) {
    if (argv.empty()) throw std::invalid_argument("empty command line");
    std::vector<std::string> args = argv;
    std::vector<std::string> env = mergedEnvironment(extraEnv);
    auto argp = pointerArray(args);
    auto envp = pointerArray(env);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    if (outFd >= 0) posix_spawn_file_actions_adddup2(&actions, outFd, 1);
    if (errFd >= 0) posix_spawn_file_actions_adddup2(&actions, errFd, 2);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    // The test process may block or ignore signals; the child starts clean.
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &all);
    posix_spawnattr_setpgroup(&attr, 0);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    pid_t pid = -1;
    int rc = posix_spawnp(&pid, args[0].c_str(), &actions, &attr, argp.data(), envp.data());
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) throw std::system_error(rc, std::generic_category(), "cannot start " + argv[0]);
    return pid;
}

int decodeStatus(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

}  // namespace

// ---------------------------------------------------------------- TempDir

TempDir::TempDir() {
    std::string pattern = (fs::temp_directory_path() / "vorlane-test-XXXXXX").string();
    if (!mkdtemp(pattern.data())) throwErrno("mkdtemp");
    m_path = pattern;
}

TempDir::~TempDir() {
    std::error_code ec;
    fs::remove_all(m_path, ec);
}

// ---------------------------------------------------------------- ports

std::uint16_t freeLoopbackPort() {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) throwErrno("socket");
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    socklen_t len = sizeof addr;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        int saved = errno;
        ::close(fd);
        errno = saved;
        throwErrno("bind to a free loopback port");
    }
    ::close(fd);
    return ntohs(addr.sin_port);
}

bool waitForPort(std::uint16_t port, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) return false;
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(port);
        bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
        ::close(fd);
        if (ok) return true;
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

// ---------------------------------------------------------------- files

void writeRandomFile(const fs::path& path, std::int64_t size, std::uint32_t seed) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) throw std::runtime_error("cannot create " + path.string());
    // xorshift64*: cheap enough that 100 MiB take a fraction of a second, and
    // no two 8-byte words of a file repeat, so misplaced parts are visible.
    std::uint64_t state = 0x9E3779B97F4A7C15ull ^ (static_cast<std::uint64_t>(seed) * 0xD1B54A32D192ED03ull);
    if (state == 0) state = 1;
    std::vector<std::uint64_t> block(1 << 17);  // 1 MiB
    std::int64_t left = size;
    while (left > 0) {
        for (auto& word : block) {
            state ^= state >> 12;
            state ^= state << 25;
            state ^= state >> 27;
            word = state * 0x2545F4914F6CDD1Dull;
        }
        const std::int64_t bytes = std::min<std::int64_t>(left, block.size() * sizeof(std::uint64_t));
        out.write(reinterpret_cast<const char*>(block.data()), bytes);
        left -= bytes;
    }
    out.close();
    if (!out) throw std::runtime_error("cannot write " + path.string());
}

std::string readFileBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot open " + path.string());
    std::string bytes;
    in.seekg(0, std::ios::end);
    bytes.resize(static_cast<std::size_t>(in.tellg()));
    in.seekg(0);
    in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return bytes;
}

namespace {

class Sha256 {
public:
    Sha256() : m_ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free) {
        if (!m_ctx || EVP_DigestInit_ex(m_ctx.get(), EVP_sha256(), nullptr) != 1)
            throw std::runtime_error("SHA-256 unavailable");
    }
    void update(const void* data, std::size_t size) { EVP_DigestUpdate(m_ctx.get(), data, size); }
    std::string hex() {
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned int length = 0;
        EVP_DigestFinal_ex(m_ctx.get(), digest, &length);
        static const char digits[] = "0123456789abcdef";
        std::string result;
        for (unsigned int i = 0; i < length; ++i) {
            result += digits[digest[i] >> 4];
            result += digits[digest[i] & 15];
        }
        return result;
    }

private:
    std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> m_ctx;
};

}  // namespace

std::string sha256OfFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot open " + path.string());
    Sha256 hash;
    std::vector<char> buffer(1 << 20);
    while (in) {
        in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
        hash.update(buffer.data(), static_cast<std::size_t>(in.gcount()));
    }
    return hash.hex();
}

std::string sha256OfBytes(const std::string& bytes) {
    Sha256 hash;
    hash.update(bytes.data(), bytes.size());
    return hash.hex();
}

// ---------------------------------------------------------------- processes

ProcessResult runProcess(const std::vector<std::string>& argv, std::chrono::milliseconds timeout,
                         const std::vector<std::string>& extraEnv) {
    int outPipe[2], errPipe[2];
    if (::pipe2(outPipe, O_CLOEXEC) != 0) throwErrno("pipe");
    if (::pipe2(errPipe, O_CLOEXEC) != 0) {
        ::close(outPipe[0]);
        ::close(outPipe[1]);
        throwErrno("pipe");
    }
    pid_t pid;
    try {
        pid = spawnInOwnGroup(argv, extraEnv, outPipe[1], errPipe[1]);
    } catch (...) {
        for (int fd : {outPipe[0], outPipe[1], errPipe[0], errPipe[1]}) ::close(fd);
        throw;
    }
    ::close(outPipe[1]);
    ::close(errPipe[1]);

    ProcessResult result;
    auto deadline = Clock::now() + timeout;
    std::array<int, 2> fds{outPipe[0], errPipe[0]};
    std::array<std::string*, 2> sinks{&result.out, &result.err};
    bool exited = false;
    int status = 0;
    char buffer[65536];
    // Read both pipes until they close and the child has exited. A
    // descendant left behind may hold the pipes open: after the exit its
    // output is awaited only briefly.
    while (fds[0] >= 0 || fds[1] >= 0 || !exited) {
        if (!exited && ::waitpid(pid, &status, WNOHANG) == pid) {
            exited = true;
            deadline = std::min(deadline, Clock::now() + std::chrono::milliseconds(500));
        }
        const auto now = Clock::now();
        if (now >= deadline) {
            result.timedOut = !exited;
            break;
        }
        const int waitMs = static_cast<int>(
            std::min<std::int64_t>(50, std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count() + 1));
        pollfd p[2];
        nfds_t n = 0;
        for (int fd : fds)
            if (fd >= 0) p[n++] = pollfd{fd, POLLIN, 0};
        if (n == 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(std::min(waitMs, 5)));
            continue;
        }
        if (::poll(p, n, waitMs) < 0 && errno != EINTR) break;
        for (nfds_t i = 0; i < n; ++i) {
            if (!(p[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            const std::size_t which = p[i].fd == fds[0] ? 0 : 1;
            ssize_t got = ::read(p[i].fd, buffer, sizeof buffer);
            if (got > 0) {
                sinks[which]->append(buffer, static_cast<std::size_t>(got));
            } else if (got == 0 || errno != EINTR) {
                ::close(fds[which]);
                fds[which] = -1;
            }
        }
    }
    // Whatever is left of the group (the child on time-out, or descendants it
    // left behind) goes now.
    ::kill(-pid, SIGKILL);
    if (!exited) {
        ::waitpid(pid, &status, 0);
    }
    for (int fd : fds)
        if (fd >= 0) ::close(fd);
    result.exitCode = result.timedOut ? -1 : decodeStatus(status);
    return result;
}

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnv,
                           const fs::path& outputFile) {
    int fd = -1;
    if (!outputFile.empty()) {
        fd = ::open(outputFile.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (fd < 0) throwErrno("cannot open " + outputFile.string());
    }
    try {
        m_pid = spawnInOwnGroup(argv, extraEnv, fd, fd);
    } catch (...) {
        if (fd >= 0) ::close(fd);
        throw;
    }
    if (fd >= 0) ::close(fd);
}

ChildProcess::~ChildProcess() { stop(); }

bool ChildProcess::running() {
    if (m_reaped || m_pid <= 0) return false;
    int status = 0;
    pid_t r = ::waitpid(m_pid, &status, WNOHANG);
    if (r == m_pid) {
        m_reaped = true;
        m_status = decodeStatus(status);
        return false;
    }
    return r == 0;
}

void ChildProcess::signal(int sig) {
    if (m_pid > 0 && !m_reaped) ::kill(-m_pid, sig);
}

int ChildProcess::wait(std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (running()) {
        if (Clock::now() >= deadline) return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return m_reaped ? m_status : -1;
}

void ChildProcess::stop() {
    if (m_pid <= 0) return;
    if (running()) {
        signal(SIGTERM);
        if (wait(std::chrono::seconds(5)) == -1 && running()) {
            signal(SIGKILL);
            wait(std::chrono::seconds(5));
        }
    }
    // Workers the child started share its group; none may outlive it.
    ::kill(-m_pid, SIGKILL);
}

fs::path toolPath(const std::string& name) { return fs::path(VORLANE_BINARY_DIR) / "tools" / name / name; }

}  // namespace testsupport
