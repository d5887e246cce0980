# A copy stamped with the typical block (vid, offerUrl, installUrl,
# uninstallUrl, ap) downloads the served installer whole and starts it with
# exactly the parameter string those settings make.
. "$(dirname "$0")/../lib.sh"

SERVED="$WORK/www/pelmora/PelMoraSetup.exe"
make_served_installer "$SERVED" 6000123
start_nginx "$WORK/www"
clean_wine_temp

cp "$E2E_INSTALLER" "$WORK/installer.exe"
stamp "$(winpath "$WORK/installer.exe")" vid=15 \
    'offerUrl=https://offers.example/landing?src=pel&id=7' \
    'installUrl=https://track.example/install?vid=15&step=1' \
    'uninstallUrl=https://track.example/uninstall?vid=15' \
    ap=13 || fail "stamp.exe failed"

start_installer "$WORK/installer.exe"
wait_window "PelMora installation" 60 || fail "no progress window"
wait_installer 120
[ "$INSTALLER_RC" = 0 ] || fail "installer.exe ended with $INSTALLER_RC"

expect_parameters ' /vid=15 /offerUrl="https://offers.example/landing?src=pel&id=7" /ap="13" /installUrl="https://track.example/install?vid=15&step=1" /uninstallUrl="https://track.example/uninstall?vid=15"'
cmp "$SERVED" "$(dl pel_mora_.exe)" || fail "the downloaded file differs from the served one"
requests=$(nginx_requests)
[ "$requests" -ge 13 ] || fail "only $requests requests: the download was not segmented"
log "downloaded $(stat -c %s "$SERVED") bytes in $requests requests"
