# Two copies started 0.7 s apart: the one that does not get the claim brings
# the other one's window forward and ends at once (exit code 0) without asking
# the server anything; the other downloads once and starts the installer once;
# no error box.
. "$(dirname "$0")/../lib.sh"

SERVED="$WORK/www/pelmora/PelMoraSetup.exe"
make_served_installer "$SERVED" 2000000
start_nginx "$WORK/www" "limit_rate 25k;"
clean_wine_temp

CAPTION="PelMora installation"
start_installer "$E2E_INSTALLER" LANG=C.UTF-8
FIRST_PID=$WINE_PID
sleep 0.7
start_installer "$E2E_INSTALLER" LANG=C.UTF-8
SECOND_PID=$WINE_PID
t0=$(date +%s)
# The first program of a fresh Wine session also boots the session, so either
# copy may take the claim: the other one ends while the winner's window shows.
one_ended() { ! kill -0 "$FIRST_PID" 2>/dev/null || ! kill -0 "$SECOND_PID" 2>/dev/null; }
wait_until 30 one_ended || fail "neither copy ended"
log "one copy ended $(( $(date +%s) - t0 )) s after the second start (first copy $FIRST_PID $(kill -0 "$FIRST_PID" 2>/dev/null && echo runs || echo ended), second $SECOND_PID $(kill -0 "$SECOND_PID" 2>/dev/null && echo runs || echo ended), window of $(xdotool getwindowpid "$(window_id "$CAPTION")" 2>/dev/null))"
has_window "$CAPTION" || fail "no progress window left when the first of the two copies ended"
has_window "Error!" && fail "an error box is open"

for WINE_PID in "$FIRST_PID" "$SECOND_PID"; do
    wait_installer 120
    [ "$INSTALLER_RC" = 0 ] || fail "a copy ended with $INSTALLER_RC"
done
has_window "Error!" && fail "an error box is open"
wait_until 30 dl_exists pel_mora_.exe.starts || fail "the downloaded installer was not started"
cmp "$SERVED" "$(dl pel_mora_.exe)" || fail "the started installer differs from the served one"
starts=$(wc -l <"$(dl pel_mora_.exe.starts)")
probes=$(grep -c '"HEAD ' "$WORK/nginx/logs/access.log")
log "installer starts: $starts, size probes: $probes"
[ "$starts" -eq 1 ] || fail "the installer was started $starts times"
[ "$probes" -eq 1 ] || fail "$probes size probes reached the server: the second copy did not stop at once"
