# A server that answers the size probe without a content length: the error
# box shows the server error with its closing sentence; Enter dismisses it
# and the program ends without creating the installer file.
. "$(dirname "$0")/../lib.sh"

start_python_server '
import http.server, sys
class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.0"
    def do_HEAD(self):
        self.send_response(200)
        self.send_header("Content-Type", "application/octet-stream")
        self.end_headers()
    def do_GET(self):
        self.do_HEAD()
        self.wfile.write(b"x" * 1000)
    def log_message(self, *args):
        sys.stderr.write("%s\n" % self.requestline)
http.server.HTTPServer(("127.0.0.1", int(sys.argv[1])), Handler).serve_forever()
'
clean_wine_temp

start_installer "$E2E_INSTALLER" LANG=C.UTF-8
wait_window "Error!" 60 || fail "no error box"
box=$(probe "Error!")
expect_control "$box" 1004 "Server Error (system code: 2001). The program will be automatically closed!"
expect_control "$box" 1 "Yes"
expect_control "$box" 2 "No"
screenshot no-content-length-error
send_keys "Error!" Return
wait_installer 30
[ "$INSTALLER_RC" = 0 ] || fail "installer.exe ended with $INSTALLER_RC after the error box"
[ ! -e "$(dl pel_mora_.exe)" ] || fail "the installer file was created"
grep -q '^HEAD ' "$WORK/python-server.log" || fail "the server saw no HEAD request"
