# A start while the installer of an earlier start still runs (and so holds its
# file): the finished download is proven by its state, size and file version
# and started again, without a download and without an error box.
. "$(dirname "$0")/../lib.sh"

SERVED="$WORK/www/pelmora/PelMoraSetup.exe"
SIZE=1500000
make_served_installer "$SERVED" "$SIZE"
start_nginx "$WORK/www"
clean_wine_temp
HOLD="$WORK/installer.hold"
release_installer() { rm -f "$HOLD"; }
CLEANUP_HOOK=release_installer

# The started installer keeps running while the hold file exists.
touch "$HOLD"
start_installer "$E2E_INSTALLER" LANG=C.UTF-8 VORLANE_RECORDER_HOLD="$(winpath "$HOLD")"
wait_installer 60
[ "$INSTALLER_RC" = 0 ] || fail "the first start ended with $INSTALLER_RC"
wait_until 30 dl_exists pel_mora_.exe.starts || fail "the first start did not start the installer"

first_lines=$(nginx_requests)
start_installer "$E2E_INSTALLER" LANG=C.UTF-8
started_again_or_error() { [ "$(wc -l <"$(dl pel_mora_.exe.starts)")" -ge 2 ] || has_window "Error!"; }
wait_until 30 started_again_or_error ||
    fail "the second start neither started the installer nor showed an error"
has_window "Error!" && fail "the second start shows an error box: $(probe "Error!" | grep 1004)"
wait_installer 30
[ "$INSTALLER_RC" = 0 ] || fail "the second start ended with $INSTALLER_RC"
fetched=$(tail -n +"$((first_lines + 1))" "$WORK/nginx/logs/access.log" | grep -vc '"HEAD ')
log "requests of the second start other than the size probe: $fetched"
[ "$fetched" -eq 0 ] || fail "the second start downloaded again ($fetched requests)"
cmp "$SERVED" "$(dl pel_mora_.exe)" || fail "the installer file differs from the served one"
release_installer
