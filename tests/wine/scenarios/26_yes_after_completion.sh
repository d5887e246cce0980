# The close confirmation is open when the download completes: nothing starts
# until it is answered, and "Yes" ends the program without starting the
# installer; the finished file and its state stay, and the next start starts
# that file without downloading it again.
. "$(dirname "$0")/../lib.sh"

SERVED="$WORK/www/pelmora/PelMoraSetup.exe"
SIZE=1500000
make_served_installer "$SERVED" "$SIZE"
start_nginx "$WORK/www" "limit_rate 40k;"
clean_wine_temp

CAPTION="PelMora installation"
CONFIRM="Closing of downloader"
# Body bytes of the parts nginx has sent completely so far.
bytes_served() { grep -v '"HEAD ' "$WORK/nginx/logs/access.log" 2>/dev/null | awk '{ s += $10 } END { print s + 0 }'; }

start_installer "$E2E_INSTALLER" LANG=C.UTF-8
wait_window "$CAPTION" 60 || fail "no progress window"
wait_control_text "$CAPTION" 1001 60 "Progress: *%" || fail "no progress text; saw: $PROBED"
send_keys "$CAPTION" alt+F4
wait_window "$CONFIRM" 20 || fail "no close confirmation"
all_served() { [ "$(bytes_served)" -ge "$SIZE" ]; }
wait_until 60 all_served ||
    fail "the download did not complete under the open confirmation ($(bytes_served) bytes)"
sleep 2
[ ! -e "$(dl pel_mora_.exe.starts)" ] || fail "the installer was started while the confirmation was open"
send_keys "$CONFIRM" Return
wait_installer 30
[ "$INSTALLER_RC" = 0 ] || fail "installer.exe ended with $INSTALLER_RC after \"Yes\""
sleep 1
[ ! -e "$(dl pel_mora_.exe.starts)" ] || fail "the installer was started after \"Yes\""
cmp "$SERVED" "$(dl pel_mora_.exe)" || fail "the finished file did not stay"
[ -s "$(dl _.txt)" ] || fail "the resume state did not stay"

served=$(bytes_served)
start_installer "$E2E_INSTALLER" LANG=C.UTF-8
wait_installer 60
[ "$INSTALLER_RC" = 0 ] || fail "the next start ended with $INSTALLER_RC"
wait_until 30 dl_exists pel_mora_.exe.starts || fail "the next start did not start the finished file"
[ "$(bytes_served)" -eq "$served" ] || fail "the next start downloaded again"
