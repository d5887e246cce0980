// The in-process HTTP/1.1 test server: one accept thread, one thread per
// connection, answers from the test's handler with optional faults.
#include "tests/support/fault_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <condition_variable>
#include <list>
#include <mutex>
#include <set>
#include <stdexcept>
#include <system_error>
#include <thread>

namespace testsupport {
namespace {

// More simultaneous connections than any test needs; beyond it new
// connections are closed at once so a runaway client cannot exhaust threads.
constexpr int kMaxOpenConnections = 64;
constexpr std::size_t kMaxHeaderBytes = 64 * 1024;

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

std::string trim(const std::string& s) {
    const auto first = s.find_first_not_of(" \t");
    if (first == std::string::npos) return {};
    const auto last = s.find_last_not_of(" \t");
    return s.substr(first, last - first + 1);
}

bool parseNumber(const std::string& text, std::int64_t& value) {
    if (text.empty()) return false;
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, value);
    return ec == std::errc() && ptr == end && value >= 0;
}

// "bytes=first-last" with both ends given and first <= last; anything else
// (suffix, open-ended or multiple ranges) is left unparsed.
std::optional<std::pair<std::int64_t, std::int64_t>> parseRange(const std::string& value) {
    const std::string v = trim(value);
    if (lower(v.substr(0, 6)) != "bytes=") return std::nullopt;
    const std::string rangeText = trim(v.substr(6));
    const auto dash = rangeText.find('-');
    if (dash == std::string::npos) return std::nullopt;
    std::int64_t first = 0, last = 0;
    if (!parseNumber(trim(rangeText.substr(0, dash)), first) || !parseNumber(trim(rangeText.substr(dash + 1)), last))
        return std::nullopt;
    if (first > last) return std::nullopt;
    return std::make_pair(first, last);
}

const char* standardReason(int status) {
    switch (status) {
        case 200: return "OK";
        case 204: return "No Content";
        case 206: return "Partial Content";
        case 301: return "Moved Permanently";
        case 302: return "Found";
        case 303: return "See Other";
        case 304: return "Not Modified";
        case 307: return "Temporary Redirect";
        case 308: return "Permanent Redirect";
        case 400: return "Bad Request";
        case 403: return "Forbidden";
        case 404: return "Not Found";
        case 407: return "Proxy Authentication Required";
        case 410: return "Gone";
        case 416: return "Range Not Satisfiable";
        case 500: return "Internal Server Error";
        case 502: return "Bad Gateway";
        case 503: return "Service Unavailable";
        default: return "Status";
    }
}

}  // namespace

struct FaultServer::Impl {
    struct Connection {
        int fd = -1;
        int index = 0;
        std::thread thread;
        std::atomic<bool> done{false};
    };

    Handler handler;
    int listenFd = -1;
    int wakePipe[2] = {-1, -1};
    std::uint16_t port = 0;
    std::thread acceptThread;

    mutable std::mutex mutex;           // guards everything below
    std::condition_variable stopSignal;  // wakes stalls and trickle pauses
    bool stopping = false;
    std::list<Connection> connections;
    std::set<int> openFds;              // sockets still owned by a connection thread
    std::vector<HttpRequest> log;
    int accepted = 0;

    void acceptLoop();
    void serve(Connection& connection);
    bool readRequest(int fd, std::string& buffer, HttpRequest& request);
    bool respond(int fd, const HttpRequest& request, const HttpResponse& response);
    bool sendAll(int fd, const char* data, std::size_t size);
    // Sleeps for `duration` or until the server stops; false when stopping.
    bool pause(std::chrono::milliseconds duration);
    void waitForStop();
    void reapFinished();
    void stop();
};

FaultServer::FaultServer(Handler handler, std::uint16_t port) : m_impl(std::make_unique<Impl>()) {
    m_impl->handler = std::move(handler);
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) throw std::system_error(errno, std::generic_category(), "socket");
    const int reuse = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    socklen_t len = sizeof addr;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd, 128) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0 || ::pipe2(m_impl->wakePipe, O_CLOEXEC) != 0) {
        int saved = errno;
        ::close(fd);
        throw std::system_error(saved, std::generic_category(), "fault server listen");
    }
    m_impl->listenFd = fd;
    m_impl->port = ntohs(addr.sin_port);
    m_impl->acceptThread = std::thread([impl = m_impl.get()] { impl->acceptLoop(); });
}

FaultServer::~FaultServer() { m_impl->stop(); }

std::uint16_t FaultServer::port() const { return m_impl->port; }

std::string FaultServer::url(const std::string& path) const {
    std::string p = path;
    if (!p.empty() && p[0] == '/') p.erase(0, 1);
    return "http://127.0.0.1:" + std::to_string(m_impl->port) + "/" + p;
}

std::vector<HttpRequest> FaultServer::requests() const {
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    return m_impl->log;
}

int FaultServer::connectionCount() const {
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    return m_impl->accepted;
}

void FaultServer::Impl::stop() {
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopping = true;
        // Unblocks every recv/send in the connection threads; the threads
        // close their own sockets, so no descriptor is reused under us.
        for (int fd : openFds) ::shutdown(fd, SHUT_RDWR);
    }
    stopSignal.notify_all();
    char byte = 1;
    [[maybe_unused]] auto ignored = ::write(wakePipe[1], &byte, 1);
    if (acceptThread.joinable()) acceptThread.join();
    // The accept thread has ended, so the list no longer grows.
    for (auto& c : connections)
        if (c.thread.joinable()) c.thread.join();
    ::close(listenFd);
    ::close(wakePipe[0]);
    ::close(wakePipe[1]);
}

void FaultServer::Impl::reapFinished() {
    std::lock_guard<std::mutex> lock(mutex);
    for (auto it = connections.begin(); it != connections.end();) {
        if (it->done.load()) {
            it->thread.join();
            it = connections.erase(it);
        } else {
            ++it;
        }
    }
}

void FaultServer::Impl::acceptLoop() {
    for (;;) {
        pollfd fds[2] = {{listenFd, POLLIN, 0}, {wakePipe[0], POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (fds[1].revents) return;
        if (!(fds[0].revents & POLLIN)) continue;
        int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        reapFinished();
        int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        std::lock_guard<std::mutex> lock(mutex);
        if (stopping || static_cast<int>(openFds.size()) >= kMaxOpenConnections) {
            ::close(fd);
            continue;
        }
        openFds.insert(fd);
        Connection& c = connections.emplace_back();
        c.fd = fd;
        c.index = accepted++;
        c.thread = std::thread([this, &c] { serve(c); });
    }
}

void FaultServer::Impl::serve(Connection& connection) {
    std::string buffer;
    bool reset = false;
    for (;;) {
        HttpRequest request;
        request.connectionIndex = connection.index;
        if (!readRequest(connection.fd, buffer, request)) break;
        {
            std::lock_guard<std::mutex> lock(mutex);
            log.push_back(request);
        }
        HttpResponse response;
        try {
            response = handler(request);
        } catch (const std::exception& e) {
            response = HttpResponse{};
            response.status = 500;
            response.body = e.what();
            response.closeConnection = true;
        }
        reset = response.resetConnection;
        if (!respond(connection.fd, request, response)) break;
        const auto it = request.headers.find("connection");
        if (it != request.headers.end() && lower(it->second) == "close") break;
    }
    {
        std::lock_guard<std::mutex> lock(mutex);
        openFds.erase(connection.fd);
    }
    if (!reset) ::shutdown(connection.fd, SHUT_WR);
    ::close(connection.fd);
    connection.done = true;
}

bool FaultServer::Impl::readRequest(int fd, std::string& buffer, HttpRequest& request) {
    std::size_t end;
    while ((end = buffer.find("\r\n\r\n")) == std::string::npos) {
        if (buffer.size() > kMaxHeaderBytes) return false;
        char chunk[16384];
        ssize_t got = ::recv(fd, chunk, sizeof chunk, 0);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        buffer.append(chunk, static_cast<std::size_t>(got));
    }
    const std::string head = buffer.substr(0, end);
    buffer.erase(0, end + 4);

    std::size_t pos = head.find("\r\n");
    const std::string requestLine = head.substr(0, pos);
    const auto sp1 = requestLine.find(' ');
    const auto sp2 = requestLine.rfind(' ');
    if (sp1 == std::string::npos || sp2 == sp1) return false;
    request.method = requestLine.substr(0, sp1);
    request.target = requestLine.substr(sp1 + 1, sp2 - sp1 - 1);
    const bool http10 = requestLine.substr(sp2 + 1) == "HTTP/1.0";
    while (pos != std::string::npos) {
        const std::size_t start = pos + 2;
        pos = head.find("\r\n", start);
        const std::string line = head.substr(start, pos == std::string::npos ? std::string::npos : pos - start);
        if (line.empty()) continue;
        request.rawHeaderLines.push_back(line);
        const auto colon = line.find(':');
        if (colon == std::string::npos) continue;
        // A repeated header keeps its first value, as the range parser expects one.
        request.headers.emplace(lower(trim(line.substr(0, colon))), trim(line.substr(colon + 1)));
    }
    if (http10 && !request.headers.count("connection")) request.headers["connection"] = "close";
    if (auto it = request.headers.find("range"); it != request.headers.end()) request.range = parseRange(it->second);

    // A request body is read and dropped so the next request on the
    // connection starts where it should.
    if (auto it = request.headers.find("content-length"); it != request.headers.end()) {
        std::int64_t length = 0;
        if (!parseNumber(it->second, length)) return false;
        while (static_cast<std::int64_t>(buffer.size()) < length) {
            char chunk[16384];
            ssize_t got = ::recv(fd, chunk, sizeof chunk, 0);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) return false;
            buffer.append(chunk, static_cast<std::size_t>(got));
        }
        buffer.erase(0, static_cast<std::size_t>(length));
    }
    return true;
}

bool FaultServer::Impl::sendAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        ssize_t sent = ::send(fd, data, size, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) continue;
        if (sent <= 0) return false;
        data += sent;
        size -= static_cast<std::size_t>(sent);
    }
    return true;
}

bool FaultServer::Impl::pause(std::chrono::milliseconds duration) {
    std::unique_lock<std::mutex> lock(mutex);
    return !stopSignal.wait_for(lock, duration, [this] { return stopping; });
}

void FaultServer::Impl::waitForStop() {
    std::unique_lock<std::mutex> lock(mutex);
    stopSignal.wait(lock, [this] { return stopping; });
}

// Returns false when the connection must close after this answer.
bool FaultServer::Impl::respond(int fd, const HttpRequest& request, const HttpResponse& r) {
    if (r.resetConnection) {
        // A zero linger time makes the connection's close a reset.
        const linger abortive{1, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
        return false;
    }
    if (!r.rawResponse.empty()) {
        // The server cannot know where a verbatim answer ends, so the
        // connection ends with it.
        sendAll(fd, r.rawResponse.data(), r.rawResponse.size());
        return false;
    }
    if (r.stallBeforeHeaders.count() > 0 && !pause(r.stallBeforeHeaders)) return false;
    std::string head = "HTTP/1.1 " + std::to_string(r.status) + " " +
                       (r.reason.empty() ? std::string(standardReason(r.status)) : r.reason) + "\r\n";
    bool hasLength = false;
    for (const auto& [name, value] : r.headers) {
        if (lower(name) == "content-length") hasLength = true;
        head += name + ": " + value + "\r\n";
    }
    if (r.autoContentLength && !hasLength) head += "Content-Length: " + std::to_string(r.body.size()) + "\r\n";
    head += "\r\n";
    if (!sendAll(fd, head.data(), head.size())) return false;

    if (request.method == "HEAD") return !r.closeConnection;

    if (r.stallForever) {
        waitForStop();
        return false;
    }
    if (r.stallBeforeBody.count() > 0 && !pause(r.stallBeforeBody)) return false;

    std::size_t toSend = r.body.size();
    if (r.closeAfterBodyBytes) toSend = std::min(toSend, *r.closeAfterBodyBytes);
    if (r.trickleChunk > 0) {
        for (std::size_t offset = 0; offset < toSend; offset += r.trickleChunk) {
            if (offset > 0 && r.trickleDelay.count() > 0 && !pause(r.trickleDelay)) return false;
            if (!sendAll(fd, r.body.data() + offset, std::min(r.trickleChunk, toSend - offset))) return false;
        }
    } else if (!sendAll(fd, r.body.data(), toSend)) {
        return false;
    }
    return !(r.closeAfterBodyBytes || r.closeConnection);
}

HttpResponse serveRange(const HttpRequest& request, const std::string& content) {
    HttpResponse response;
    const auto size = static_cast<std::int64_t>(content.size());
    response.headers.emplace_back("Accept-Ranges", "bytes");
    if (request.method != "HEAD" && request.range) {
        const auto [first, requestedLast] = *request.range;
        if (first >= size) {
            response.status = 416;
            response.headers.emplace_back("Content-Range", "bytes */" + std::to_string(size));
            return response;
        }
        const std::int64_t last = std::min(requestedLast, size - 1);
        response.status = 206;
        response.headers.emplace_back("Content-Range", "bytes " + std::to_string(first) + "-" + std::to_string(last) +
                                                           "/" + std::to_string(size));
        response.body = content.substr(static_cast<std::size_t>(first), static_cast<std::size_t>(last - first + 1));
        return response;
    }
    response.status = 200;
    response.body = content;
    return response;
}

}  // namespace testsupport
