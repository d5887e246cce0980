# A download closed half way ("Yes" on the close confirmation) continues at
# the next start: the record beside the resume state names it, the second run
# fetches only what is missing, and the started installer's file equals the
# served one, whose digest the record then holds.
. "$(dirname "$0")/../lib.sh"

SERVED="$WORK/www/pelmora/PelMoraSetup.exe"
SIZE=4000000
make_served_installer "$SERVED" "$SIZE"
start_nginx "$WORK/www" "limit_rate 48k;"
clean_wine_temp

CAPTION="PelMora installation"
CONFIRM="Closing of downloader"
progress_at_least() {
    local percent
    percent=$(percent_of "$(control_text "$(probe "$CAPTION")" 1001)")
    [ -n "$percent" ] && [ "$percent" -ge "$1" ]
}
# Body bytes nginx sent, from line $1 of its access log on.
bytes_served_from() { tail -n +"$1" "$WORK/nginx/logs/access.log" | awk '{ s += $10 } END { print s + 0 }'; }

start_installer "$E2E_INSTALLER" LANG=C.UTF-8
wait_window "$CAPTION" 60 || fail "no progress window ($(program_state); $(desktop_state))"
wait_until 90 progress_at_least 30 || fail "the first run did not reach 30%"
send_keys "$CAPTION" alt+F4
wait_window "$CONFIRM" 20 || fail "no close confirmation"
send_keys "$CONFIRM" Return
wait_installer 30
[ "$INSTALLER_RC" = 0 ] || fail "installer.exe ended with $INSTALLER_RC after \"Yes\""
[ ! -e "$(dl pel_mora_.exe.cmdline)" ] || fail "the installer was started after \"Yes\""
digest() { sha256sum <"$1" | cut -d' ' -f1; }
record=$(download_record _.txt)
[ -n "$(sed -n 1p <<<"$record")" ] || fail "no file version recorded for the resume state"
[ "$(sed -n 2p <<<"$record")" = "$(digest "$(dl _.txt)")" ] || fail "the record does not name the resume state left"

first_lines=$(nginx_requests)
start_installer "$E2E_INSTALLER" LANG=C.UTF-8
wait_installer 150
[ "$INSTALLER_RC" = 0 ] || fail "the second start ended with $INSTALLER_RC"
wait_until 30 dl_exists pel_mora_.exe.cmdline || fail "the downloaded installer was not started"
cmp "$SERVED" "$(dl pel_mora_.exe)" || fail "the started installer differs from the served one"
[ "$(download_record _.txt | sed -n 3p)" = "$(digest "$SERVED")" ] || fail "the finished file's digest was not recorded"
second=$(bytes_served_from $((first_lines + 1)))
log "second start fetched $second of $SIZE bytes"
[ "$second" -lt $((SIZE * 8 / 10)) ] || fail "the second start fetched $second bytes: it did not continue"
