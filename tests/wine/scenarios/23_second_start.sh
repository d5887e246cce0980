# Two copies started 0.7 s apart: the second one brings the first one's window
# forward and ends at once (exit code 0) without asking the server anything;
# the first downloads once and starts the installer once; no error box.
. "$(dirname "$0")/../lib.sh"

SERVED="$WORK/www/pelmora/PelMoraSetup.exe"
make_served_installer "$SERVED" 2000000
start_nginx "$WORK/www" "limit_rate 50k;"
clean_wine_temp

CAPTION="PelMora installation"
start_installer "$E2E_INSTALLER" LANG=C.UTF-8
FIRST_PID=$WINE_PID
sleep 0.7
start_installer "$E2E_INSTALLER" LANG=C.UTF-8
wait_installer 30
[ "$INSTALLER_RC" = 0 ] || fail "the second copy ended with $INSTALLER_RC"
has_window "$CAPTION" || fail "the first copy's window is gone when the second copy ended"
has_window "Error!" && fail "an error box is open"

WINE_PID=$FIRST_PID
wait_installer 120
[ "$INSTALLER_RC" = 0 ] || fail "the first copy ended with $INSTALLER_RC"
has_window "Error!" && fail "an error box is open"
wait_until 30 test -f "$E2E_TEMP/pel_mora_.exe.starts" || fail "the downloaded installer was not started"
cmp "$SERVED" "$E2E_TEMP/pel_mora_.exe" || fail "the started installer differs from the served one"
starts=$(wc -l <"$E2E_TEMP/pel_mora_.exe.starts")
probes=$(grep -c '"HEAD ' "$WORK/nginx/logs/access.log")
log "installer starts: $starts, size probes: $probes"
[ "$starts" -eq 1 ] || fail "the installer was started $starts times"
[ "$probes" -eq 1 ] || fail "$probes size probes reached the server: the second copy did not stop at once"
