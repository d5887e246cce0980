# The auto-config script names a proxy that answers every request with 407
# (it wants credentials): the error box shows the server error with code 407
# at once instead of a download of the proxy's own page; Enter ends the
# program and nothing is created.
. "$(dirname "$0")/../lib.sh"

CONNECTIONS='HKCU\Software\Microsoft\Windows\CurrentVersion\Internet Settings\Connections'
remove_proxy_setting() { timeout 30 wine reg delete "$CONNECTIONS" /f >/dev/null 2>&1; }
CLEANUP_HOOK=remove_proxy_setting

PROXY_PORT=$(free_port)
start_python_server '
import http.server, sys
class Demanding(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    def refuse(self):
        sys.stderr.write("%s\n" % self.requestline)
        sys.stderr.flush()
        body = b"credentials, please"
        self.send_response(407)
        self.send_header("Proxy-Authenticate", "Basic realm=\"corp\"")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)
    do_GET = do_HEAD = do_CONNECT = refuse
    def log_message(self, *args):
        pass
http.server.ThreadingHTTPServer(("127.0.0.1", int(sys.argv[1])), Demanding).serve_forever()
' "$PROXY_PORT"

mkdir -p "$WORK/www"
printf 'function FindProxyForURL(url, host) { return "PROXY 127.0.0.1:%s"; }\n' "$PROXY_PORT" >"$WORK/www/proxy.pac"
start_nginx "$WORK/www"
blob=$(python3 -c '
import struct, sys
url = sys.argv[1].encode()
print((struct.pack("<IIIII", 0x46, 0, 1 | 4, 0, 0) + struct.pack("<I", len(url)) + url + bytes(32)).hex())
' "http://127.0.0.1:$E2E_PORT/proxy.pac")
timeout 30 wine reg add "$CONNECTIONS" /v DefaultConnectionSettings /t REG_BINARY /d "$blob" /f >/dev/null ||
    fail "could not set the auto-config address"

clean_wine_temp
start_installer "$E2E_INSTALLER" LANG=C.UTF-8
wait_window "Error!" 60 || fail "no error box"
box=$(probe "Error!")
expect_control "$box" 1004 "Server Error (system code: 407). The program will be automatically closed!"
screenshot proxy-wants-credentials
send_keys "Error!" Return
wait_installer 30
[ "$INSTALLER_RC" = 0 ] || fail "installer.exe ended with $INSTALLER_RC after the error box"
[ ! -e "$E2E_TEMP/pel_mora_.exe" ] || fail "the installer file was created"
[ ! -e "$E2E_TEMP/_.txt" ] || fail "a resume state was written"
grep -q "^HEAD http://127.0.0.1:$E2E_PORT/" "$WORK/python-server.log" ||
    fail "the size probe did not go to the script's proxy: $(head -n 3 "$WORK/python-server.log")"
[ "$(grep -c '' "$WORK/python-server.log")" -eq 1 ] || fail "requests after the refused probe: $(cat "$WORK/python-server.log")"
