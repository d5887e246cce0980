# A proxy that asks who the user is: the user's manual proxy is a squid that
# wants NTLM and checks the answer with Samba's ntlm_auth against one
# password; Wine's SSPI answers through ntlm_auth too. Without a saved
# sign-in Wine takes the logon session's credentials from winbindd, which has
# none here: the program offers NTLM, never Basic, and nothing gets signed in.
# With a sign-in for the proxy saved in the credential store the proxy test,
# the size probe and every part are signed in, none offers Basic, and the
# installer comes byte-exact through squid and is started once. Then a squid
# that wants another password: the run ends in the 407 notice, still without
# Basic.
. "$(dirname "$0")/../lib.sh"

SQUID_PID=""
stop_squid() {
    [ -n "$SQUID_PID" ] || return 0
    kill "$SQUID_PID" 2>/dev/null
    wait "$SQUID_PID" 2>/dev/null
    SQUID_PID=""
}
CREDENTIALS='HKCU\Software\Wine\Credential Manager'
clean_up() {
    remove_connection_settings
    timeout 30 wine reg delete "$CREDENTIALS" /f >/dev/null 2>&1
    stop_squid
}
CLEANUP_HOOK=clean_up

SQUID_DIR="$WORK/squid"
ACCESS_LOG="$SQUID_DIR/access.log"

# start_squid PASSWORD: squid on a free loopback port, its own configuration,
# no cache, signing in whoever answers in NTLM with PASSWORD; the test
# address is then refused at once (nothing to ask DNS for). The access log
# has the status, method, address, user and offered credentials.
start_squid() {
    stop_squid
    SQUID_PORT=$(free_port)
    mkdir -p "$SQUID_DIR"
    # squid started as root runs as Debian's proxy user.
    chmod 777 "$SQUID_DIR"
    rm -f "$ACCESS_LOG"
    cat >"$SQUID_DIR/squid.conf" <<EOF
http_port 127.0.0.1:$SQUID_PORT
pid_filename $SQUID_DIR/squid.pid
cache_log $SQUID_DIR/cache.log
logformat signin %>Hs %rm %ru user=%un offered="%{Proxy-Authorization}>h"
access_log stdio:$ACCESS_LOG signin
coredump_dir $SQUID_DIR
cache deny all
cache_mem 0 MB
netdb_filename none
pinger_enable off
shutdown_lifetime 0 seconds
visible_hostname vorlane-test
auth_param ntlm program /usr/bin/ntlm_auth --helper-protocol=squid-2.5-ntlmssp --password=$1
auth_param ntlm children 4
acl signed_in proxy_auth REQUIRED
acl test_address dstdomain www.example.com
http_access deny !signed_in
http_access deny test_address
http_access allow signed_in
EOF
    squid -N -f "$SQUID_DIR/squid.conf" >"$SQUID_DIR/squid.out" 2>&1 &
    SQUID_PID=$!
    wait_until 20 port_answers "$SQUID_PORT" || fail "squid did not start on port $SQUID_PORT: $(tail -n 5 "$SQUID_DIR/cache.log")"
}

# squid writes its log lines as each request ends.
logged() { grep -c "$1" "$ACCESS_LOG" 2>/dev/null; }
no_basic() { ! grep -qi 'offered="Basic' "$ACCESS_LOG" || fail "credentials were offered with Basic: $(grep -i Basic "$ACCESS_LOG")"; }

SERVED="$WORK/www/pelmora/PelMoraSetup.exe"
make_served_installer "$SERVED" 2100000
start_nginx "$WORK/www"
local_url="http://127.0.0.1:$E2E_PORT/pelmora/PelMoraSetup.exe"

# 1. The logon session's credentials, which Wine asks winbindd for.
start_squid secret
set_connection_settings 3 "127.0.0.1:$SQUID_PORT"
clean_wine_temp
start_installer "$E2E_INSTALLER" LANG=C.UTF-8
wait_installer 120
timeout 20 wineserver -w
log "without a saved sign-in: $(logged 'offered="NTLM TlRMTVNTUAAB') NTLM negotiate messages, $(logged 'user=[^-]') signed-in requests"
no_basic
[ "$(logged 'offered="NTLM TlRMTVNTUAAB')" -ge 1 ] || fail "no NTLM was offered: $(head -n 5 "$ACCESS_LOG")"
[ "$(logged 'user=[^-]')" -eq 0 ] || fail "a request was signed in without credentials"

# 2. A sign-in for the proxy saved in the credential store.
timeout 60 wine "$E2E_CREDENTIAL" 127.0.0.1 'WORKGROUP\tester' secret || fail "could not save the sign-in"
start_squid secret
set_connection_settings 3 "127.0.0.1:$SQUID_PORT"
clean_wine_temp
start_installer "$E2E_INSTALLER" LANG=C.UTF-8
wait_installer 120
[ "$INSTALLER_RC" = 0 ] || fail "installer.exe ended with $INSTALLER_RC: $(tail -n 5 "$ACCESS_LOG" 2>/dev/null)"
wait_until 30 dl_exists pel_mora_.exe.starts || fail "the downloaded installer was not started: $(tail -n 5 "$ACCESS_LOG")"
cmp "$SERVED" "$(dl pel_mora_.exe)" || fail "the downloaded file differs from the served one"
[ "$(wc -l <"$(dl pel_mora_.exe.starts)")" -eq 1 ] || fail "the installer was not started exactly once"
timeout 20 wineserver -w

challenged=$(logged '^407 .* offered="NTLM TlRMTVNTUAAB')
test_signed_in=$(logged '^403 GET http://www.example.com/ user=[^-]')
probe_signed_in=$(logged "^200 HEAD $local_url user=[^-]")
parts_signed_in=$(logged "^20[06] GET $local_url user=[^-]")
parts=$(logged "^20[06] GET $local_url ")
user=$(grep -m1 -o 'user=[^ -][^ ]*' "$ACCESS_LOG")
log "squid: $challenged NTLM challenges; signed in ($user): $test_signed_in proxy test, $probe_signed_in probe, $parts_signed_in of $parts parts served"
no_basic
[ "$test_signed_in" -eq 1 ] || fail "the proxy test was not signed in: $(head -n 5 "$ACCESS_LOG")"
[ "$probe_signed_in" -eq 1 ] || fail "the size probe was not signed in"
[ "$parts_signed_in" -ge 5 ] && [ "$parts_signed_in" -eq "$parts" ] ||
    fail "$parts_signed_in of $parts parts served were signed in"
[ "$challenged" -ge 3 ] || fail "only $challenged NTLM challenges: not every connection signed in"

# 3. A proxy that wants another password than the saved one.
start_squid another
set_connection_settings 3 "127.0.0.1:$SQUID_PORT"
clean_wine_temp
start_installer "$E2E_INSTALLER" LANG=C.UTF-8
wait_window "Error!" 60 || fail "no error box; $(program_state)"
box=$(probe "Error!")
expect_control "$box" 1004 "Server Error (system code: 407). The program will be automatically closed!"
send_keys "Error!" Return
wait_installer 30
[ "$INSTALLER_RC" = 0 ] || fail "installer.exe ended with $INSTALLER_RC after the error box"
[ ! -e "$(dl pel_mora_.exe)" ] || fail "the installer file was created"
log "refusing squid: $(logged 'offered="NTLM TlRMTVNTUAAD') NTLM answers, $(logged "HEAD $local_url") probe lines"
no_basic
[ "$(logged "HEAD $local_url .*offered=\"NTLM TlRMTVNTUAAD")" -ge 1 ] || fail "the probe offered no NTLM answer"
