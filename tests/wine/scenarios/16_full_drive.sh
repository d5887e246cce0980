# The download folder on a drive that cannot hold the download (an 8 MiB
# tmpfs mounted over the Windows directory's Temp, where it is made, an 18 MB
# download): the notice names the space to free before any part is asked
# for (nginx logs the size probe only), and nothing is started. Once space
# is freed (the tmpfs grown), the next start downloads the file; the started
# installer is byte-exact and started once.
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
start_nginx "$WORK/www"

start_installer "$E2E_INSTALLER" LANG=C.UTF-8
wait_window "Error!" 90 || fail "no notice on the small drive"
# 18 MB and the resume state: 17.17 MiB, rounded up.
expect_control "$(probe "Error!")" 1004 "There is not enough space on the disk. Free at least 17.2 MB on drive C: \
and start the installation again. The program will be automatically closed!"
screenshot not-enough-space
send_keys "Error!" Return
wait_installer 30
[ "$INSTALLER_RC" = 0 ] || fail "installer.exe ended with $INSTALLER_RC after the notice"
[ ! -e "$(dl pel_mora_.exe.cmdline)" ] || fail "the installer was started from a drive too small"
gets=$(grep -c '"GET ' "$WORK/nginx/logs/access.log")
[ "$gets" -eq 0 ] || fail "$gets requests beside the size probe: $(grep '"GET ' "$WORK/nginx/logs/access.log" | head -3)"
grep -q '"HEAD ' "$WORK/nginx/logs/access.log" || fail "no size probe logged"

mount -o remount,size=64m "$E2E_WINTEMP" || fail "cannot grow the tmpfs"
start_installer "$E2E_INSTALLER" LANG=C.UTF-8
wait_installer 150
[ "$INSTALLER_RC" = 0 ] || fail "the second start ended with $INSTALLER_RC ($(desktop_state); box: $(control_text "$(probe "Error!")" 1004))"
wait_until 30 dl_exists pel_mora_.exe.cmdline || fail "the installer was not started after space was freed"
cmp "$SERVED" "$(dl pel_mora_.exe)" || fail "the started installer differs from the served one"
starts=$(wc -l <"$(dl pel_mora_.exe.starts)")
[ "$starts" -eq 1 ] || fail "the installer was started $starts times"
