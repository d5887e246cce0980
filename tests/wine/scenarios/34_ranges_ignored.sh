# A server that ignores Range (nginx with "max_ranges 0", as some caching
# proxies and antivirus web shields behave) answers every part request with
# the whole file: the download goes on as one stream, no error box shows,
# and the installer is started once, byte-exact.
. "$(dirname "$0")/../lib.sh"

SERVED="$WORK/www/pelmora/PelMoraSetup.exe"
make_served_installer "$SERVED" 6000123
start_nginx "$WORK/www" "max_ranges 0;"
clean_wine_temp

start_installer "$E2E_INSTALLER" LANG=C.UTF-8
wait_window "PelMora installation" 60 || fail "no progress window"
ended_or_error() { ! kill -0 "$WINE_PID" 2>/dev/null || has_window "Error!"; }
wait_until 120 ended_or_error || fail "installer.exe did not end ($(desktop_state))"
has_window "Error!" && fail "an error box is open: $(control_text "$(probe "Error!")" 1004)"
wait_installer 30
[ "$INSTALLER_RC" = 0 ] || fail "installer.exe ended with $INSTALLER_RC"
wait_until 30 dl_exists pel_mora_.exe.starts || fail "the downloaded installer was not started"
cmp "$SERVED" "$(dl pel_mora_.exe)" || fail "the started installer differs from the served one"
starts=$(wc -l <"$(dl pel_mora_.exe.starts)")
whole=$(grep '"GET ' "$WORK/nginx/logs/access.log" | grep -c '" 200 ')
partial=$(grep '"GET ' "$WORK/nginx/logs/access.log" | grep -c '" 206 ')
log "installer starts: $starts, whole-file answers: $whole, partial answers: $partial"
[ "$partial" -eq 0 ] || fail "nginx answered $partial range requests: ranges were not switched off"
[ "$starts" -eq 1 ] || fail "the installer was started $starts times"
