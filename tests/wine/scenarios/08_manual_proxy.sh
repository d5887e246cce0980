# The user's manual proxy (Internet settings of the Wine user): a working
# proxy is adopted after its test request and carries the size probe and every
# part; a proxy that cannot be reached is dropped and the download goes direct.
# The proxy is a local stand-in: it forwards requests for the test server and
# answers every other address itself, so nothing leaves the machine.
. "$(dirname "$0")/../lib.sh"

CLEANUP_HOOK=remove_connection_settings

# set_manual_proxy HOST:PORT: the "use a proxy server" flag and the proxy text.
set_manual_proxy() { set_connection_settings 3 "$1"; }

SERVED="$WORK/www/pelmora/PelMoraSetup.exe"
make_served_installer "$SERVED" 2100000
start_nginx "$WORK/www"

PROXY_PORT=$(free_port)
start_python_server '
import http.client, http.server, socketserver, sys, urllib.parse
PORT, LOCAL = int(sys.argv[1]), int(sys.argv[2])
SKIP = {"connection", "keep-alive", "proxy-connection", "transfer-encoding", "server", "date"}
class Proxy(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    def relay(self, method):
        sys.stderr.write("%s %s\n" % (method, self.path))
        sys.stderr.flush()
        url = urllib.parse.urlsplit(self.path)
        if url.hostname == "127.0.0.1" and url.port == LOCAL:
            upstream = http.client.HTTPConnection("127.0.0.1", LOCAL, timeout=30)
            headers = {k: v for k, v in self.headers.items() if k.lower() not in SKIP}
            upstream.request(method, url.path, headers=headers)
            answer = upstream.getresponse()
            body = answer.read()
            self.send_response(answer.status)
            for k, v in answer.getheaders():
                if k.lower() not in SKIP:
                    self.send_header(k, v)
            self.end_headers()
            if method != "HEAD":
                self.wfile.write(body)
            upstream.close()
        else:
            self.send_response(200)
            self.send_header("Content-Length", "2")
            self.end_headers()
            if method != "HEAD":
                self.wfile.write(b"ok")
    def do_GET(self):
        self.relay("GET")
    def do_HEAD(self):
        self.relay("HEAD")
    def log_message(self, *args):
        pass
class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
Server(("127.0.0.1", PORT), Proxy).serve_forever()
' "$PROXY_PORT"
PROXY_LOG="$WORK/python-server.log"

# run_download: one run of the unstamped program to a complete, started installer.
run_download() {
    clean_wine_temp
    start_installer "$E2E_INSTALLER" LANG=C.UTF-8
    wait_installer 120
    [ "$INSTALLER_RC" = 0 ] || fail "$1: installer.exe ended with $INSTALLER_RC"
    wait_until 30 dl_exists pel_mora_.exe.cmdline || fail "$1: the downloaded installer was not started"
    cmp "$SERVED" "$(dl pel_mora_.exe)" || fail "$1: the downloaded file differs from the served one"
    timeout 20 wineserver -w
}

# 1. A working proxy.
set_manual_proxy "127.0.0.1:$PROXY_PORT"
run_download "working proxy"
local_url="http://127.0.0.1:$E2E_PORT/pelmora/PelMoraSetup.exe"
grep -q "^GET http://" "$PROXY_LOG" && ! grep -m1 "^GET http://" "$PROXY_LOG" | grep -q "127.0.0.1:$E2E_PORT" ||
    fail "the proxy test request did not come first through the proxy: $(head -n 3 "$PROXY_LOG")"
grep -qx "HEAD $local_url" "$PROXY_LOG" || fail "the size probe did not go through the proxy"
through_proxy=$(grep -c "^GET $local_url\$" "$PROXY_LOG")
direct=$(nginx_requests)
log "through the proxy: $(wc -l <"$PROXY_LOG") requests ($through_proxy part requests); nginx saw $direct"
[ "$through_proxy" -ge 5 ] || fail "only $through_proxy part requests went through the proxy"
[ "$direct" -eq $((through_proxy + 1)) ] || fail "nginx saw $direct requests, the proxy forwarded $((through_proxy + 1))"

# 2. A proxy nobody listens on: dropped after its test, the download goes direct.
proxied_before=$(wc -l <"$PROXY_LOG")
set_manual_proxy "127.0.0.1:$(free_port)"
run_download "unreachable proxy"
[ "$(wc -l <"$PROXY_LOG")" -eq "$proxied_before" ] || fail "requests reached the working proxy in the second run"
[ "$(nginx_requests)" -gt "$direct" ] || fail "the second download did not reach nginx directly"
