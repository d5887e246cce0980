// A small HTTP/1.1 server of our own, for tests only: it answers what real
// servers will not (wrong lengths, dropped or stalled connections, ignored
// ranges, scripted per-request answers). Runs in-process on a free loopback
// port with its own threads; keep-alive supported.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace testsupport {

struct HttpRequest {
    std::string method;   // "GET", "HEAD", ...
    std::string target;   // path and query as sent
    std::map<std::string, std::string> headers;  // names lower-cased
    std::vector<std::string> rawHeaderLines;     // as received, in order
    // Parsed "Range: bytes=first-last" (inclusive), when present with both ends and first <= last.
    std::optional<std::pair<std::int64_t, std::int64_t>> range;
    int connectionIndex = 0;   // which accepted connection carried it (0-based)
};

struct HttpResponse {
    int status = 200;
    std::string reason;                                  // empty: a standard phrase
    std::vector<std::pair<std::string, std::string>> headers;  // sent in order, exactly
    std::string body;
    bool autoContentLength = true;    // add Content-Length: body.size() unless headers has one
    // Faults:
    std::chrono::milliseconds stallBeforeHeaders{0};  // wait before the status line (HEAD answers too)
    std::optional<std::size_t> closeAfterBodyBytes;   // send only this many body bytes, then close
    std::chrono::milliseconds stallBeforeBody{0};     // wait before the body (connection kept open)
    bool stallForever = false;                         // never send the body, keep the socket open until the server stops
    std::size_t trickleChunk = 0;                      // >0: send the body in chunks of this size ...
    std::chrono::milliseconds trickleDelay{0};         // ... with this delay between chunks
    bool closeConnection = false;                      // close after this response
    std::string rawResponse;                           // non-empty: sent verbatim instead of everything above,
                                                       // then the connection is closed
    bool resetConnection = false;                      // answer nothing and reset the connection (RST)
};

// Called on the connection's own thread, so possibly on several threads at once.
using Handler = std::function<HttpResponse(const HttpRequest&)>;

class FaultServer {
public:
    // port 0: a free one; another port is taken again, as a restarted server would.
    explicit FaultServer(Handler handler, std::uint16_t port = 0);
    ~FaultServer();  // stops accepting, closes every connection, joins its threads
    FaultServer(const FaultServer&) = delete;
    FaultServer& operator=(const FaultServer&) = delete;

    std::uint16_t port() const;
    std::string url(const std::string& path) const;  // "http://127.0.0.1:<port>/<path>"
    std::vector<HttpRequest> requests() const;       // every request received so far
    int connectionCount() const;                      // connections accepted so far

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

// A well-behaved range answer for `content`: 206 with Content-Range and the
// exact bytes for a satisfiable Range (the end clipped to the content), 416
// for a range that starts beyond the end, 200 with the whole body otherwise,
// HEAD without a body.
HttpResponse serveRange(const HttpRequest& request, const std::string& content);

}  // namespace testsupport
