# A copy without a payload block starts the downloaded installer with an
# empty parameter string, and stamp --show finds no block in it.
. "$(dirname "$0")/../lib.sh"

SERVED="$WORK/www/pelmora/PelMoraSetup.exe"
make_served_installer "$SERVED" 1500000
start_nginx "$WORK/www"
clean_wine_temp

cp "$E2E_INSTALLER" "$WORK/installer.exe"
start_installer "$WORK/installer.exe"
wait_installer 120
[ "$INSTALLER_RC" = 0 ] || fail "installer.exe ended with $INSTALLER_RC"

RECORD="$(dl pel_mora_.exe.cmdline)"
wait_until 30 test -f "$RECORD" || fail "the downloaded installer was not started"
log "command line: $(cat -v "$RECORD")"
actual=$(recorded_parameters "$RECORD")
[ -z "$actual" ] || fail "parameters [$(cat -v <<<"$actual")], expected none"
cmp "$SERVED" "$(dl pel_mora_.exe)" || fail "the downloaded file differs from the served one"

stamp --show "$(winpath "$WORK/installer.exe")" >"$WORK/show.txt" || fail "stamp.exe --show failed"
[ ! -s "$WORK/show.txt" ] || fail "stamp --show reports a block in the unstamped program: $(head -c 200 "$WORK/show.txt" | cat -v)"
