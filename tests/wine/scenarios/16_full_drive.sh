# The download folder on a drive that fills up mid-download (an 8 MiB tmpfs
# mounted over the Windows directory's Temp, where it is made, an 18 MB download): the download ends at the failed
# write, the error box shows and nothing is started. Once space is
# freed (the tmpfs grown), the next start continues from what was kept and
# fetches only what was missing; the started installer is byte-exact.
. "$(dirname "$0")/../lib.sh"

[ "$(id -u)" -eq 0 ] || fail "needs root to mount a small file system over the Windows directory's Temp"
SERVED="$WORK/www/pelmora/PelMoraSetup.exe"
SIZE=18000000
make_served_installer "$SERVED" "$SIZE"
clean_wine_temp

unmount_temp() {
    timeout 20 wineserver -k 2>/dev/null
    umount -l "$E2E_WINTEMP" 2>/dev/null
}
CLEANUP_HOOK=unmount_temp
mount -t tmpfs -o size=8m vorlane-full-drive "$E2E_WINTEMP" || fail "cannot mount a tmpfs over $E2E_WINTEMP"
start_nginx "$WORK/www" "limit_rate 200k;"
bytes_served_from() { tail -n +"$1" "$WORK/nginx/logs/access.log" | awk '{ s += $10 } END { print s + 0 }'; }

start_installer "$E2E_INSTALLER" LANG=C.UTF-8
wait_window "Error!" 90 || fail "no error box on the full drive"
expect_control "$(probe "Error!")" 1004 "Internal Error. The program will be automatically closed!"
screenshot full-drive-error
send_keys "Error!" Return
wait_installer 30
[ "$INSTALLER_RC" = 0 ] || fail "installer.exe ended with $INSTALLER_RC after the error box"
[ ! -e "$(dl pel_mora_.exe.cmdline)" ] || fail "the installer was started from a full drive"
first=$(bytes_served_from 1)
log "the first start fetched $first bytes before the drive was full"
# Twelve parts at a time: the third twelve are cut off when the second fill the drive.
[ "$first" -le $((SIZE - 6 * 524288)) ] || fail "the first start fetched $first bytes: it went on after the failed write"

mount -o remount,size=64m "$E2E_WINTEMP" || fail "cannot grow the tmpfs"
first_lines=$(nginx_requests)
start_installer "$E2E_INSTALLER" LANG=C.UTF-8
wait_installer 150
[ "$INSTALLER_RC" = 0 ] || fail "the second start ended with $INSTALLER_RC ($(desktop_state); box: $(control_text "$(probe "Error!")" 1004))"
wait_until 30 dl_exists pel_mora_.exe.cmdline || fail "the installer was not started after space was freed"
cmp "$SERVED" "$(dl pel_mora_.exe)" || fail "the started installer differs from the served one"
second=$(bytes_served_from $((first_lines + 1)))
log "the second start fetched $second of $SIZE bytes"
# The first twelve parts (6 MiB) reached the drive and were flushed before
# the next ones filled it: they are not fetched again.
[ "$second" -le $((SIZE - 10 * 524288)) ] || fail "the second start fetched $second bytes: it did not continue"
