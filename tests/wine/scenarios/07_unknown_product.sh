# A build whose PRODUCT_ID is not in the catalog shows "Invalid installer!" in
# a box captioned "Error!" and ends once it is dismissed.
. "$(dirname "$0")/../lib.sh"

start_installer "$E2E_INSTALLER_UNKNOWN" LANG=ru_RU.UTF-8 LOCPATH="$E2E_LOCPATH"
wait_window "Error!" 60 || fail "no \"Error!\" box ($(program_state); $(desktop_state))"
box=$(probe "Error!")
grep -qx 'control [0-9]* Static 1 [-0-9,]* Invalid installer!' <<<"$box" || fail "the box does not say \"Invalid installer!\": $box"
[ -z "$(xdotool search --name "installation|Установка" 2>/dev/null)" ] || fail "a progress window opened"
screenshot invalid-installer
send_keys "Error!" Return
wait_installer 30
[ "$INSTALLER_RC" = 0 ] || fail "installer.exe ended with $INSTALLER_RC"
