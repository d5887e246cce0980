# Another process tries again and again to open the downloaded installer for
# writing: it never gets a writing handle while the file is being downloaded,
# nor between its completion and its start; only after the start does the
# downloader let go of it.
. "$(dirname "$0")/../lib.sh"

SERVED="$WORK/www/pelmora/PelMoraSetup.exe"
make_served_installer "$SERVED" 1300000
start_nginx "$WORK/www" "limit_rate 300k;"
clean_wine_temp

WATCH_PID=""
stop_watch() { [ -n "$WATCH_PID" ] && kill "$WATCH_PID" 2>/dev/null; }
CLEANUP_HOOK=stop_watch
start_installer "$E2E_INSTALLER"
# The folder is made at the start, before the size probe; its name is known
# only then.
wait_until 30 download_dir || fail "no download folder was made"
timeout -k 5 150 wine "$E2E_WATCH" "$(winpath "$(dl pel_mora_.exe)")" "$(winpath "$SERVED")" 120 \
    </dev/null >"$WORK/watch.out" 2>&1 &
WATCH_PID=$!

wait_installer 120
if [ "$INSTALLER_RC" = 124 ] && has_window "Error!"; then
    screenshot launch-hold-refused
    fail "error box instead of the start: $(control_text "$(probe "Error!")" 1004)"
fi
[ "$INSTALLER_RC" = 0 ] || fail "installer.exe ended with $INSTALLER_RC"
wait_until 30 dl_exists pel_mora_.exe.cmdline || fail "the downloaded installer was not started"
wait "$WATCH_PID"
watch_rc=$?
WATCH_PID=""
tr -d '\r' <"$WORK/watch.out" >"$WORK/watch.txt"
log "watcher: $(tr '\n' ' ' <"$WORK/watch.txt")"
[ "$watch_rc" = 0 ] || fail "the watcher never opened the started installer for writing (rc $watch_rc)"
count() { awk -v k="$1" '$1 == k { print $2 }' "$WORK/watch.txt"; }
[ "$(count writable-while-incomplete)" = 0 ] || fail "another process could write the file during the download"
[ "$(count writable-complete-before-start)" = 0 ] || fail "another process could write the complete file before its start"
[ "$(count held-while-incomplete)" -gt 0 ] || fail "the watcher saw no try during the download"
[ "$(count held-complete-before-start)" -gt 0 ] || fail "the watcher saw no try between completion and start"
cmp "$SERVED" "$(dl pel_mora_.exe)" || fail "the downloaded file differs from the served one"
