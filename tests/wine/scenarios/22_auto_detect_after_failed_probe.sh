# "Automatically detect settings" on, no manual proxy, no script, and nothing
# listening at the download address: the failed direct probe asks WinHTTP's
# auto-detection (WPAD) for a proxy, which finds none here (no DHCP answer, no
# DNS domain on a loopback-only machine), and the error box of the failed
# probe follows within its bound.
. "$(dirname "$0")/../lib.sh"

CLEANUP_HOOK=remove_connection_settings
# Only the "direct" and "automatically detect settings" flags.
set_connection_settings 9

clean_wine_temp
started=$(date +%s)
# WinHTTP's own trace shows which questions the program asked it.
start_installer "$E2E_INSTALLER" LANG=C.UTF-8 WINEDEBUG=-all,trace+winhttp
wait_window "Error!" 60 || fail "no error box"
shown=$(( $(date +%s) - started ))
box=$(probe "Error!")
expect_control "$box" 1004 "Download Error (system code: 7). The program will be automatically closed!"
send_keys "Error!" Return
wait_installer 30
[ "$INSTALLER_RC" = 0 ] || fail "installer.exe ended with $INSTALLER_RC after the error box"
log "the error box came after ${shown}s"
[ "$shown" -le 15 ] || fail "the error box took ${shown}s"
grep -q "WinHttpGetIEProxyConfigForCurrentUser" "$WORK/installer.out" ||
    fail "no WinHTTP trace (is Wine's tracing built in?)"
grep -q "WinHttpDetectAutoProxyConfigUrl" "$WORK/installer.out" || fail "auto-detection was not asked"
[ ! -e "$(dl pel_mora_.exe)" ] || fail "the installer file was created"
