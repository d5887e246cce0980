# The server goes away mid-download (nginx stopped: connections cut, new ones
# refused) for 4 s, and in a second run for 20 s, then comes back on its
# port: meanwhile the figures line counts down to the next try and returns
# to the figures once bytes flow again; each run ends with the installer
# started and its file byte-exact.
. "$(dirname "$0")/../lib.sh"

SERVED="$WORK/www/pelmora/PelMoraSetup.exe"
SIZE=4000000
make_served_installer "$SERVED" "$SIZE"
CAPTION="PelMora installation"

progress_at_least() {
    local percent
    percent=$(percent_of "$(control_text "$(probe "$CAPTION")" 1001)")
    [ -n "$percent" ] && [ "$percent" -ge "$1" ]
}

stop_nginx() {
    kill "$NGINX_PID" 2>/dev/null
    wait_until 10 bash -c "! kill -0 $NGINX_PID" || fail "nginx did not stop"
    NGINX_PID=""
}

for down in 4 20; do
    clean_wine_temp
    start_nginx "$WORK/www" "limit_rate 32k;"
    start_installer "$E2E_INSTALLER" LANG=C.UTF-8
    wait_window "$CAPTION" 60 || fail "no progress window"
    wait_until 90 progress_at_least 20 || fail "the download did not reach 20%"
    stop_nginx
    log "server down for $down s"
    back=$(( $(date +%s) + down ))
    wait_control_text "$CAPTION" 1005 "$down" "Connection lost, trying again in [1-9]* s" ||
        fail "no countdown during a $down s outage; saw: $PROBED"
    log "during the outage: $(control_text "$PROBED" 1005)"
    sleep $(( back - $(date +%s) > 0 ? back - $(date +%s) : 0 ))
    has_window "Error!" && fail "an error box during a $down s outage"
    start_nginx "$WORK/www" "limit_rate 32k;"
    wait_control_text "$CAPTION" 1005 60 "* of 3.9 MB*" || fail "no figures after a $down s outage; saw: $PROBED"
    wait_installer 180
    [ "$INSTALLER_RC" = 0 ] || fail "installer.exe ended with $INSTALLER_RC after a $down s outage"
    has_window "Error!" && fail "an error box after a $down s outage"
    wait_until 30 dl_exists pel_mora_.exe.cmdline || fail "the installer was not started after a $down s outage"
    cmp "$SERVED" "$(dl pel_mora_.exe)" || fail "the started installer differs after a $down s outage"
    stop_nginx
done
