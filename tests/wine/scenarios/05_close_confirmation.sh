# The close confirmation on a slow download: "No, continue" keeps the
# download going; "Yes" ends the program, leaves the resume-state file and
# starts nothing.
. "$(dirname "$0")/../lib.sh"

SERVED="$WORK/www/pelmora/PelMoraSetup.exe"
make_served_installer "$SERVED" 4000000
start_nginx "$WORK/www" "limit_rate 16k;"
clean_wine_temp

CAPTION="PelMora installation"
CONFIRM="Closing of downloader"
start_installer "$E2E_INSTALLER" LANG=C.UTF-8
wait_window "$CAPTION" 60 || fail "no progress window"
wait_control_text "$CAPTION" 1001 60 "Progress: *%" || fail "no progress text; saw: $PROBED"

# Close box / Alt+F4, then "No, continue" (Tab to the button, Space presses it).
send_keys "$CAPTION" alt+F4
wait_window "$CONFIRM" 20 || fail "no close confirmation"
send_keys "$CONFIRM" Tab space
wait_until 10 bash -c "! xdotool search --name '^$CONFIRM\$' >/dev/null" || fail "the confirmation stayed open"
has_window "$CAPTION" || fail "the progress window closed after \"No, continue\""
before=$(percent_of "$(control_text "$(probe "$CAPTION")" 1001)")
sleep 4
after=$(percent_of "$(control_text "$(probe "$CAPTION")" 1001)")
log "progress after \"No, continue\": $before% -> $after%"
[ -n "$before" ] && [ -n "$after" ] && [ "$after" -gt "$before" ] || fail "the download did not go on ($before% -> $after%)"

# Again, and "Yes" this time (the default button, Enter).
send_keys "$CAPTION" alt+F4
wait_window "$CONFIRM" 20 || fail "no close confirmation the second time"
send_keys "$CONFIRM" Return
wait_installer 30
[ "$INSTALLER_RC" = 0 ] || fail "installer.exe ended with $INSTALLER_RC after \"Yes\""
[ -s "$(dl _.txt)" ] || fail "no resume-state file left in the temporary folder"
[ ! -e "$(dl pel_mora_.exe.cmdline)" ] || fail "the installer was started after \"Yes\""
log "resume state: $(stat -c %s "$(dl _.txt)") bytes"
