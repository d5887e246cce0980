// Debian's nginx as a child process serving a test directory, the throw-away
// certificate authority for its HTTPS mode, and the mount namespace in which
// that authority is the only one a program trusts.
#include "tests/support/nginx_server.h"

#include <unistd.h>

#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace testsupport {
namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

constexpr const char* kNginx = "/usr/sbin/nginx";
// Where Debian's libcurl looks for trust anchors: the bundle file and the
// hashed directory that holds it (curl-config --ca, --with-ca-path).
constexpr const char* kSystemCaDirectory = "/etc/ssl/certs";
constexpr const char* kSystemCaBundleName = "ca-certificates.crt";

std::string readWhole(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void writeWhole(const fs::path& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out) throw std::runtime_error("cannot write " + path.string());
}

void runOpenssl(const std::vector<std::string>& args) {
    std::vector<std::string> argv{"openssl"};
    argv.insert(argv.end(), args.begin(), args.end());
    const ProcessResult r = runProcess(argv, 30s);
    if (r.exitCode != 0) {
        std::string line;
        for (const auto& a : argv) line += a + " ";
        throw std::runtime_error("openssl failed: " + line + "\n" + r.err);
    }
}

// nginx quotes: no configuration value written here may break out of its quotes.
std::string quoted(const fs::path& path) {
    const std::string s = path.string();
    if (s.find_first_of("\"\\;{}$\n") != std::string::npos)
        throw std::invalid_argument("path not usable in an nginx configuration: " + s);
    return "\"" + s + "\"";
}

}  // namespace

TestCertificateAuthority::TestCertificateAuthority(const fs::path& dir) {
    fs::create_directories(dir);
    const fs::path caKey = dir / "ca.key";
    m_ca = dir / "ca.crt";
    m_key = dir / "server.key";
    m_cert = dir / "server.crt";
    const fs::path request = dir / "server.csr";
    const fs::path extensions = dir / "server.ext";
    writeWhole(extensions,
               "basicConstraints=critical,CA:FALSE\n"
               "keyUsage=critical,digitalSignature\n"
               "extendedKeyUsage=serverAuth\n"
               "subjectAltName=IP:127.0.0.1,DNS:localhost\n"
               "subjectKeyIdentifier=hash\n"
               "authorityKeyIdentifier=keyid,issuer\n");
    runOpenssl({"genpkey", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-256", "-out", caKey.string()});
    runOpenssl({"req", "-x509", "-new", "-key", caKey.string(), "-sha256", "-days", "3", "-subj",
                "/CN=Vorlane Test CA", "-addext", "basicConstraints=critical,CA:TRUE", "-addext",
                "keyUsage=critical,keyCertSign,cRLSign", "-out", m_ca.string()});
    runOpenssl({"genpkey", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-256", "-out", m_key.string()});
    runOpenssl({"req", "-new", "-key", m_key.string(), "-subj", "/CN=127.0.0.1", "-out", request.string()});
    runOpenssl({"x509", "-req", "-in", request.string(), "-CA", m_ca.string(), "-CAkey", caKey.string(),
                "-CAcreateserial", "-sha256", "-days", "2", "-extfile", extensions.string(), "-out", m_cert.string()});
}

NginxServer::NginxServer(const fs::path& docRoot, NginxOptions options) : m_options(std::move(options)) {
    if (m_options.https) m_ca = std::make_unique<TestCertificateAuthority>(m_dir / "ca");
    const fs::path root = fs::absolute(docRoot);
    fs::create_directories(m_dir / "temp");

    std::string lastLog;
    // The port was free when chosen but another process may take it before
    // nginx binds; a few fresh tries make that race harmless.
    for (int attempt = 0; attempt < 5; ++attempt) {
        m_port = freeLoopbackPort();
        std::ostringstream conf;
        // Workers must read the document root whatever its permissions.
        if (::geteuid() == 0) conf << "user root;\n";
        conf << "worker_processes " << std::max(1, m_options.workerProcesses) << ";\n"
             << "pid " << quoted(m_dir / "nginx.pid") << ";\n"
             << "error_log " << quoted(m_dir / "error.log") << " info;\n"
             << "events { worker_connections 512; }\n"
             << "http {\n"
             << "  log_format vorlane '$connection $connection_requests \"$request\" \"$http_range\" "
                "$status $body_bytes_sent \"$http_user_agent\"';\n"
             << "  access_log " << quoted(m_dir / "access.log") << " vorlane;\n"
             << "  client_body_temp_path " << quoted(m_dir / "temp/body") << ";\n"
             << "  proxy_temp_path " << quoted(m_dir / "temp/proxy") << ";\n"
             << "  fastcgi_temp_path " << quoted(m_dir / "temp/fastcgi") << ";\n"
             << "  uwsgi_temp_path " << quoted(m_dir / "temp/uwsgi") << ";\n"
             << "  scgi_temp_path " << quoted(m_dir / "temp/scgi") << ";\n"
             << "  default_type application/octet-stream;\n"
             << "  sendfile on;\n  tcp_nopush on;\n  tcp_nodelay on;\n"
             << "  keepalive_timeout 60s;\n  keepalive_requests 100000;\n"
             << "  server {\n"
             << "    listen 127.0.0.1:" << m_port << (m_options.https ? " ssl" : "") << ";\n"
             << "    server_name localhost;\n"
             << "    root " << quoted(root) << ";\n";
        if (m_options.https)
            conf << "    ssl_certificate " << quoted(m_ca->serverCertificate()) << ";\n"
                 << "    ssl_certificate_key " << quoted(m_ca->serverKey()) << ";\n";
        if (!m_options.limitRate.empty()) {
            if (m_options.limitRate.find_first_not_of("0123456789kKmMgG") != std::string::npos)
                throw std::invalid_argument("bad limit_rate value: " + m_options.limitRate);
            conf << "    limit_rate " << m_options.limitRate << ";\n";
        }
        if (!m_options.allowRanges) conf << "    max_ranges 0;\n";
        conf << m_options.serverDirectives;
        conf << "  }\n}\n";
        writeWhole(m_dir / "nginx.conf", conf.str());
        std::error_code ec;
        fs::remove(m_dir / "nginx.pid", ec);
        fs::remove(m_dir / "error.log", ec);

        m_process = std::make_unique<ChildProcess>(
            std::vector<std::string>{kNginx, "-g", "daemon off;", "-p", m_dir.path().string() + "/", "-c",
                                     (m_dir / "nginx.conf").string(), "-e", (m_dir / "error.log").string()},
            std::vector<std::string>{}, m_dir / "nginx.out");

        // nginx writes its pid file only after it holds the listening socket,
        // so "pid file present, process alive, port answers" means it is ours.
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        bool started = false;
        while (std::chrono::steady_clock::now() < deadline && m_process->running()) {
            if (fs::exists(m_dir / "nginx.pid") && waitForPort(m_port, 100ms)) {
                started = m_process->running();
                break;
            }
            std::this_thread::sleep_for(10ms);
        }
        if (started) return;
        m_process->stop();
        m_process.reset();
        lastLog = readWhole(m_dir / "error.log") + readWhole(m_dir / "nginx.out");
        if (lastLog.find("Address already in use") == std::string::npos) break;
    }
    throw std::runtime_error("nginx did not start on 127.0.0.1:" + std::to_string(m_port) + "; its log:\n" + lastLog);
}

NginxServer::~NginxServer() {
    if (m_process) m_process->stop();
}

std::string NginxServer::url(const std::string& path) const {
    std::string p = path;
    if (!p.empty() && p[0] == '/') p.erase(0, 1);
    return std::string(m_options.https ? "https" : "http") + "://127.0.0.1:" + std::to_string(m_port) + "/" + p;
}

fs::path NginxServer::caCertificate() const { return m_ca ? m_ca->caCertificate() : fs::path(); }

std::string NginxServer::accessLog() const { return readWhole(m_dir / "access.log"); }

ProcessResult runTrustingCa(const fs::path& caCertificate, const std::vector<std::string>& argv,
                            std::chrono::milliseconds timeout) {
    // libcurl trusts both the bundle file and the hashed certificate
    // directory, so the whole directory is replaced by one that holds only the
    // test CA under the bundle's name. The bind mount lives only in the new
    // namespace and ends with its last process.
    TempDir certs;
    fs::copy_file(caCertificate, certs / kSystemCaBundleName);
    const std::string script = "mount --bind \"$0\" " + std::string(kSystemCaDirectory) + " && exec \"$@\"";
    std::vector<std::string> command{"unshare", "-m", "--propagation", "private", "sh", "-c", script,
                                     certs.path().string()};
    command.insert(command.end(), argv.begin(), argv.end());
    return runProcess(command, timeout);
}

}  // namespace testsupport
