# The program's download folder deleted between two starts, and later the
# Windows directory's Temp that held it: the HKLM record then names a folder
# that is gone, and each next start makes what is missing again, downloads
# the served file whole and starts it once.
. "$(dirname "$0")/../lib.sh"

SERVED="$WORK/www/pelmora/PelMoraSetup.exe"
make_served_installer "$SERVED" 1500000
start_nginx "$WORK/www"
clean_wine_temp
# The scenarios after this one expect the prefix's Temp as it was.
MADE_TEMP="$WINEPREFIX/drive_c/windows/Temp"
restore_windows_temp() {
    [ -d "$E2E_WINTEMP" ] || { [ -d "$MADE_TEMP" ] && mv "$MADE_TEMP" "$E2E_WINTEMP"; } || mkdir -p "$E2E_WINTEMP"
}
CLEANUP_HOOK=restore_windows_temp

install_once "first start" "$SERVED"
first=$(download_dir)
rm -rf "$first"
install_once "start after the download folder was deleted" "$SERVED"
second=$(download_dir)
[ "$second" != "$first" ] || fail "the deleted folder's name was used again"
rm -rf "$E2E_WINTEMP"
install_once "start after the Windows directory's Temp was deleted" "$SERVED"
log "folders made: $(basename "$first"), $(basename "$second"), $(basename "$(download_dir)")"
