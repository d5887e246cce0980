# A download that fails (the server knows the size but serves no part): the
# error box shows the message and its closing sentence as two sentences, in
# English and in Russian; one screenshot per language.
. "$(dirname "$0")/../lib.sh"

start_python_server '
import http.server, sys
class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.0"
    def do_HEAD(self):
        self.send_response(200)
        self.send_header("Content-Type", "application/octet-stream")
        self.send_header("Content-Length", "1000000")
        self.send_header("ETag", "\"v1\"")
        self.end_headers()
    def do_GET(self):
        self.send_error(404)
    def log_message(self, *args):
        sys.stderr.write("%s\n" % self.requestline)
http.server.HTTPServer(("127.0.0.1", int(sys.argv[1])), Handler).serve_forever()
'

for language in en ru; do
    clean_wine_temp
    if [ $language = en ]; then
        start_installer "$E2E_INSTALLER" LANG=C.UTF-8
        caption="Error!" text="Internal Error. The program will be automatically closed!"
    else
        start_installer "$E2E_INSTALLER" LANG=ru_RU.UTF-8 LOCPATH="$E2E_LOCPATH"
        caption="Ошибка!" text="Внутренняя ошибка. Программа будет автоматически закрыта!"
    fi
    wait_window "$caption" 120 || fail "no error box ($language)"
    box=$(probe "$caption")
    expect_control "$box" 1004 "$text"
    screenshot "internal-error-$language"
    send_keys "$caption" Return
    wait_installer 30
    [ "$INSTALLER_RC" = 0 ] || fail "installer.exe ended with $INSTALLER_RC ($language)"
    timeout 20 wineserver -w
done
