# A user process (tests/wine/squatter.cpp) makes the running-copy mutex and
# window mapping under every name it can before the program starts, and
# publishes its own window there: the program still downloads and starts the
# installer, and the squatter's window is never restored, activated or made
# the foreground window.
. "$(dirname "$0")/../lib.sh"

SQUATTER="$(dirname "$E2E_RECORDER")/squatter.exe"
[ -f "$SQUATTER" ] || fail "$SQUATTER is missing (build the windows preset first)"

SERVED="$WORK/www/pelmora/PelMoraSetup.exe"
make_served_installer "$SERVED" 2000000
start_nginx "$WORK/www"
clean_wine_temp

# The names follow the resume state's path, so the squatter needs the
# download folder: a first start makes it (a user can read its name under
# HKLM), and its files are then removed so that the next start downloads.
start_installer "$E2E_INSTALLER" LANG=C.UTF-8
wait_installer 120
[ "$INSTALLER_RC" = 0 ] || fail "the first start ended with $INSTALLER_RC"
FOLDER=$(download_dir)
[ -n "$FOLDER" ] || fail "no download folder was made"
rm -f "$FOLDER"/*
FOLDER_WIN=$(timeout 30 winepath -w "$FOLDER" 2>/dev/null | tr -d '\r')
first_lines=$(nginx_requests)

RECORD="$WORK/squatter.txt"
SQUATTER_PID=""
stop_squatter() {
    touch "$RECORD.stop"
    [ -n "$SQUATTER_PID" ] && wait_until 20 eval "! kill -0 $SQUATTER_PID"
}
CLEANUP_HOOK=stop_squatter
wine "$SQUATTER" "$(winpath "$RECORD")" "$FOLDER_WIN" </dev/null >"$WORK/squatter.out" 2>&1 &
SQUATTER_PID=$!
wait_until 60 grep -qx ready "$RECORD" ||
    fail "the squatter did not get ready: $(cat "$WORK/squatter.out" "$RECORD" 2>/dev/null)"

start_installer "$E2E_INSTALLER" LANG=C.UTF-8
wait_installer 120
kill -0 "$SQUATTER_PID" 2>/dev/null || fail "the squatter ended before the program did"
raised=$(grep -vx ready "$RECORD" | tr '\n' ' ')
[ -z "$raised" ] || fail "the squatter's window was raised ($raised); installer.exe ended with $INSTALLER_RC after $(nginx_requests) requests"
[ "$INSTALLER_RC" = 0 ] || fail "installer.exe ended with $INSTALLER_RC ($(desktop_state))"
wait_until 30 dl_exists pel_mora_.exe.starts ||
    fail "the downloaded installer was not started: $(nginx_requests) requests reached the server"
[ "$(download_dir)" = "$FOLDER" ] || fail "the second start used another folder"
[ $(( $(nginx_requests) - first_lines )) -ge 4 ] || fail "the second start did not download"
cmp "$SERVED" "$(dl pel_mora_.exe)" || fail "the started installer differs from the served one"
log "$(nginx_requests) requests, installer started, the squatter's window left alone"
