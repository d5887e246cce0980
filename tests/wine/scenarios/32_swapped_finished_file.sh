# A finished download whose file is swapped for another program of the same
# size (the stand-in installer padded with other bytes) before the next
# start: the swapped program is never started; the served file is fetched
# afresh and started.
. "$(dirname "$0")/../lib.sh"

SERVED="$WORK/www/pelmora/PelMoraSetup.exe"
SIZE=1500000
make_served_installer "$SERVED" "$SIZE"
start_nginx "$WORK/www"
clean_wine_temp
start_installer "$E2E_INSTALLER" LANG=C.UTF-8
wait_installer 60
[ "$INSTALLER_RC" = 0 ] || fail "the first start ended with $INSTALLER_RC"
DEST="$(dl pel_mora_.exe)"
STARTS="$(dl pel_mora_.exe.starts)"
wait_until 30 test -f "$STARTS" || fail "the first start did not start the installer"
cmp "$SERVED" "$DEST" || fail "the first download differs from the served file"

# The swapped program records its starts in the same files as the served
# one, so any start of it shows up there; its bytes tell it apart on disk.
make_served_installer "$WORK/swapped.exe" "$SIZE"
cmp -s "$SERVED" "$WORK/swapped.exe" && fail "the swapped program equals the served one"
cp "$WORK/swapped.exe" "$DEST"
rm -f "$STARTS" "$(dl pel_mora_.exe.cmdline)"

first_lines=$(nginx_requests)
start_installer "$E2E_INSTALLER" LANG=C.UTF-8
wait_installer 60
[ "$INSTALLER_RC" = 0 ] || fail "the second start ended with $INSTALLER_RC"
has_window "Error!" && fail "the second start shows an error box: $(probe "Error!" | grep 1004)"
wait_until 30 test -f "$STARTS" || fail "the second start started nothing"
sleep 1
cmp -s "$WORK/swapped.exe" "$DEST" && fail "the swapped program was started"
[ "$(wc -l <"$STARTS")" -eq 1 ] || fail "the second start started $(wc -l <"$STARTS") programs"
cmp "$SERVED" "$DEST" || fail "the started file is not the served one"
fetched=$(tail -n +"$((first_lines + 1))" "$WORK/nginx/logs/access.log" | grep -vc '"HEAD ')
log "requests of the second start other than the size probe: $fetched"
[ "$fetched" -gt 0 ] || fail "the second start fetched nothing"
