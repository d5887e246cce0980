# The server goes away mid-download and never comes back: the error box
# shows within 90 s, Enter ends the program and nothing is started.
. "$(dirname "$0")/../lib.sh"

SERVED="$WORK/www/pelmora/PelMoraSetup.exe"
make_served_installer "$SERVED" 4000000
CAPTION="PelMora installation"
clean_wine_temp
start_nginx "$WORK/www" "limit_rate 32k;"

progress_at_least() {
    local percent
    percent=$(percent_of "$(control_text "$(probe "$CAPTION")" 1001)")
    [ -n "$percent" ] && [ "$percent" -ge "$1" ]
}

start_installer "$E2E_INSTALLER" LANG=C.UTF-8
wait_window "$CAPTION" 60 || fail "no progress window"
wait_until 90 progress_at_least 20 || fail "the download did not reach 20%"
kill "$NGINX_PID"
NGINX_PID=""
gone=$(date +%s)
wait_window "Error!" 90 || fail "no error box within 90 s of the server going"
log "error box $(( $(date +%s) - gone )) s after the server went"
expect_control "$(probe "Error!")" 1004 "Internal Error. The program will be automatically closed!"
screenshot outage-for-good-error
send_keys "Error!" Return
wait_installer 30
[ "$INSTALLER_RC" = 0 ] || fail "installer.exe ended with $INSTALLER_RC after the error box"
[ ! -e "$(dl pel_mora_.exe.cmdline)" ] || fail "the installer was started"
