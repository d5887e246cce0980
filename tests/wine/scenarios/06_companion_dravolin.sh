# A build for product dravolin, stamped with a content address of type "10",
# on a machine where the uninstall key names an installed copy: the companion
# program is started with "-turl " and the address, and nothing is downloaded.
. "$(dirname "$0")/../lib.sh"

KEY='HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\DravoLin'
LOCATION_WIN='C:\vorlane-e2e\Dravo Lin'
LOCATION="$WINEPREFIX/drive_c/vorlane-e2e/Dravo Lin"
# Registry view of the key (REG_VIEW, e.g. /reg:32 for a 32-bit companion's setup).
VIEW=(${REG_VIEW:-})
remove_key() {
    timeout 30 wine reg delete "$KEY" /f "${VIEW[@]}" >/dev/null 2>&1
    rm -rf "$WINEPREFIX/drive_c/vorlane-e2e"
}
CLEANUP_HOOK=remove_key

SERVED="$WORK/www/dravolin/get"
make_served_installer "$SERVED" 1000000
start_nginx "$WORK/www"
clean_wine_temp

mkdir -p "$LOCATION"
cp "$E2E_RECORDER" "$LOCATION/dravolin.exe"
timeout 30 wine reg add "$KEY" /v DisplayVersion /t REG_SZ /d 2.4.1 /f "${VIEW[@]}" >/dev/null || fail "reg add failed"
timeout 30 wine reg add "$KEY" /v InstallLocation /t REG_SZ /d "$LOCATION_WIN" /f "${VIEW[@]}" >/dev/null ||
    fail "reg add failed"
if [ "${REG_VIEW:-}" = /reg:32 ] && timeout 30 wine reg query "$KEY" /reg:64 >/dev/null 2>&1; then
    fail "the key written to the 32-bit view shows in the 64-bit view too: this prefix cannot tell the views apart"
fi

ADDRESS='https://content.example/item?id=42&lang=en'
cp "$E2E_INSTALLER_DRAVOLIN" "$WORK/installer.exe"
stamp "$(winpath "$WORK/installer.exe")" vid=3 contentType=10 "contentAddress=$ADDRESS" || fail "stamp.exe failed"

start_installer "$WORK/installer.exe" LANG=C.UTF-8
wait_installer 60
[ "$INSTALLER_RC" = 0 ] || fail "installer.exe ended with $INSTALLER_RC"
RECORD="$LOCATION/dravolin.exe.cmdline"
wait_until 30 test -f "$RECORD" || fail "the companion program was not started"
log "companion command line: $(cat "$RECORD")"
actual=$(recorded_parameters "$RECORD")
[ "$actual" = "-turl $ADDRESS" ] || fail "companion parameters [$actual], expected [-turl $ADDRESS]"
[ ! -e "$(dl dravo_lin_.exe)" ] || fail "the installer was downloaded although the companion is installed"
requests=$(nginx_requests)
[ "$requests" -eq 1 ] || fail "$requests requests reached the server, expected the size probe only"
