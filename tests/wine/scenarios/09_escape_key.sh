# Esc in the progress window ends the program without asking (the download is
# stopped first, so the resume-state file stays and nothing is started).
. "$(dirname "$0")/../lib.sh"

SERVED="$WORK/www/pelmora/PelMoraSetup.exe"
make_served_installer "$SERVED" 4000000
start_nginx "$WORK/www" "limit_rate 16k;"
clean_wine_temp

CAPTION="PelMora installation"
start_installer "$E2E_INSTALLER" LANG=C.UTF-8
wait_window "$CAPTION" 60 || fail "no progress window"
wait_control_text "$CAPTION" 1001 60 "Progress: *%" || fail "no progress text; saw: $PROBED"
send_keys "$CAPTION" Escape
wait_installer 30
[ "$INSTALLER_RC" = 0 ] || fail "installer.exe ended with $INSTALLER_RC after Esc"
[ -s "$(dl _.txt)" ] || fail "no resume-state file left in the temporary folder"
[ ! -e "$(dl pel_mora_.exe.cmdline)" ] || fail "the installer was started after Esc"
