// Small helpers for tests that touch the real system: temporary directories,
// free loopback ports, generated files, hashes and child processes with time-outs.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace testsupport {

// A fresh directory under the system temp dir, removed with its contents on destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return m_path; }
    std::filesystem::path operator/(const std::string& name) const { return m_path / name; }

private:
    std::filesystem::path m_path;
};

// A TCP port on 127.0.0.1 that was free a moment ago.
std::uint16_t freeLoopbackPort();

// Writes `size` pseudo-random bytes (deterministic for a seed) to `path`.
void writeRandomFile(const std::filesystem::path& path, std::int64_t size, std::uint32_t seed = 1);
std::string readFileBytes(const std::filesystem::path& path);
// Lower-case hex SHA-256 of a file / of bytes.
std::string sha256OfFile(const std::filesystem::path& path);
std::string sha256OfBytes(const std::string& bytes);

struct ProcessResult {
    int exitCode = -1;     // exit status, or 128+signal, or -1 when it had to be killed on time-out
    bool timedOut = false;
    std::string out;       // stdout
    std::string err;       // stderr
};

// Runs argv[0] (searched in PATH) with the arguments, waits at most `timeout`,
// kills the process group on time-out.
ProcessResult runProcess(const std::vector<std::string>& argv, std::chrono::milliseconds timeout,
                         const std::vector<std::string>& extraEnv = {});

// A child process that runs until stopped (SIGTERM, then SIGKILL after a grace period).
// It leads a process group of its own; stopping it ends the whole group.
class ChildProcess {
public:
    // `outputFile`: where stdout and stderr go (appended); empty = inherited.
    ChildProcess(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnv = {},
                 const std::filesystem::path& outputFile = {});
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    int pid() const { return m_pid; }
    bool running();
    void signal(int sig);
    // Waits for exit; returns the exit code (128+signal) or -1 on time-out.
    int wait(std::chrono::milliseconds timeout);
    void stop();

private:
    int m_pid = -1;
    int m_status = -1;
    bool m_reaped = false;
};

// Polls until a TCP connect to 127.0.0.1:port succeeds or the time-out passes.
bool waitForPort(std::uint16_t port, std::chrono::milliseconds timeout);

// Directory of the test binaries' sibling tools (stamp, segfetch) in the build tree.
std::filesystem::path toolPath(const std::string& name);

}  // namespace testsupport
