// Debian's nginx on a free loopback port, serving a directory over HTTP or
// HTTPS (certificate from a test CA made for the run), stopped on destruction.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

#include "tests/support/test_env.h"

namespace testsupport {

// A throw-away certificate authority and a server certificate for 127.0.0.1 / localhost.
class TestCertificateAuthority {
public:
    explicit TestCertificateAuthority(const std::filesystem::path& dir);
    const std::filesystem::path& caCertificate() const { return m_ca; }
    const std::filesystem::path& serverCertificate() const { return m_cert; }
    const std::filesystem::path& serverKey() const { return m_key; }

private:
    std::filesystem::path m_ca, m_cert, m_key;
};

struct NginxOptions {
    bool https = false;
    std::string limitRate;           // nginx limit_rate value per connection, e.g. "2m"; empty = none
    int workerProcesses = 1;
    bool allowRanges = true;         // false: "max_ranges 0" so ranges are ignored (plain 200)
    std::string serverDirectives = {};  // added inside the server block as they are (e.g. redirect locations)
};

class NginxServer {
public:
    NginxServer(const std::filesystem::path& docRoot, NginxOptions options = {});
    ~NginxServer();
    NginxServer(const NginxServer&) = delete;
    NginxServer& operator=(const NginxServer&) = delete;

    std::uint16_t port() const { return m_port; }
    // "http(s)://127.0.0.1:<port>/<path>" (path without leading slash).
    std::string url(const std::string& path) const;
    // The CA that signed the HTTPS certificate (only with https).
    std::filesystem::path caCertificate() const;
    // Lines nginx wrote to its access log so far (request lines incl. Range header, see format).
    std::string accessLog() const;

private:
    NginxOptions m_options;
    TempDir m_dir;
    std::unique_ptr<TestCertificateAuthority> m_ca;
    std::uint16_t m_port = 0;
    std::unique_ptr<ChildProcess> m_process;
};

// Runs a command in a private mount namespace in which the system CA bundle
// (/etc/ssl/certs/ca-certificates.crt) is replaced by `caCertificate`, so that
// libcurl's default verification trusts the test CA and nothing else, and
// nothing outside the namespace changes. Requires root (unshare -m).
ProcessResult runTrustingCa(const std::filesystem::path& caCertificate, const std::vector<std::string>& argv,
                            std::chrono::milliseconds timeout);

}  // namespace testsupport
