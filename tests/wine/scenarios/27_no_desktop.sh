# Without Wine's desktop process no window can be created: the program cannot
# show its window or its error box, and it must say so with its exit code
# instead of ending as if it had succeeded.
. "$(dirname "$0")/../lib.sh"

start_installer "$E2E_INSTALLER_UNKNOWN" LANG=C.UTF-8 WINEDLLOVERRIDES="explorer.exe=d;$WINEDLLOVERRIDES"
wait_installer 60
[ "$INSTALLER_RC" = 1 ] || fail "installer.exe ended with $INSTALLER_RC without a window, expected 1"
[ -z "$(window_id "Error!")" ] || fail "a box was shown although no window can be created"
