# The user's Internet settings name an auto-config script (served by nginx)
# and no manual proxy; the script sends every address through a local
# tinyproxy. WinHTTP runs the script for the download address, and the size
# probe and every part reach nginx through tinyproxy; the installer starts.
. "$(dirname "$0")/../lib.sh"

TINYPROXY_PID=""
clean_up() {
    remove_connection_settings
    [ -n "$TINYPROXY_PID" ] && kill "$TINYPROXY_PID" 2>/dev/null
    return 0
}
CLEANUP_HOOK=clean_up

SERVED="$WORK/www/pelmora/PelMoraSetup.exe"
make_served_installer "$SERVED" 2100000

PROXY_PORT=$(free_port)
PROXY_LOG="$WORK/tinyproxy.log"
cat >"$WORK/tinyproxy.conf" <<EOF
Port $PROXY_PORT
Listen 127.0.0.1
Timeout 30
LogFile "$PROXY_LOG"
LogLevel Info
MaxClients 32
Allow 127.0.0.1
EOF
tinyproxy -d -c "$WORK/tinyproxy.conf" >"$WORK/tinyproxy.out" 2>&1 &
TINYPROXY_PID=$!
wait_until 10 port_answers "$PROXY_PORT" || fail "tinyproxy did not start on port $PROXY_PORT"

cat >"$WORK/www/proxy.pac" <<EOF
function FindProxyForURL(url, host) {
    return "PROXY 127.0.0.1:$PROXY_PORT; DIRECT";
}
EOF
start_nginx "$WORK/www"
# "Use automatic configuration script" with its address, no manual proxy.
set_connection_settings 5 "" "http://127.0.0.1:$E2E_PORT/proxy.pac"

clean_wine_temp
start_installer "$E2E_INSTALLER" LANG=C.UTF-8
wait_installer 120
[ "$INSTALLER_RC" = 0 ] || fail "installer.exe ended with $INSTALLER_RC"
wait_until 30 dl_exists pel_mora_.exe.cmdline || fail "the downloaded installer was not started"
cmp "$SERVED" "$(dl pel_mora_.exe)" || fail "the downloaded file differs from the served one"

local_url="http://127.0.0.1:$E2E_PORT/pelmora/PelMoraSetup.exe"
requests=$(grep -o "Request (file descriptor [0-9]*): [A-Z]* [^ ]*" "$PROXY_LOG" | sed 's/^.*: //')
heads=$(grep -cx "HEAD $local_url" <<<"$requests")
parts=$(grep -cx "GET $local_url" <<<"$requests")
installer_hits=$(grep -c "/pelmora/PelMoraSetup.exe" "$WORK/nginx/logs/access.log")
script_hits=$(grep -c "GET /proxy.pac" "$WORK/nginx/logs/access.log")
log "tinyproxy relayed $heads probe(s) and $parts part requests; nginx saw $installer_hits installer requests and $script_hits script request(s)"
[ "$heads" -eq 1 ] || fail "the size probe did not go through the script's proxy: $requests"
[ "$parts" -ge 5 ] || fail "only $parts part requests went through the script's proxy"
[ "$installer_hits" -eq $((heads + parts)) ] ||
    fail "nginx saw $installer_hits installer requests, tinyproxy relayed $((heads + parts))"
[ "$script_hits" -ge 1 ] || fail "the auto-config script was never fetched"
[ "$(nginx_requests)" -eq $((installer_hits + script_hits)) ] || fail "nginx saw requests of another kind"
