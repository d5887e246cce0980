# TEMP and TMP naming a folder that does not exist (a cleaner removed it, or
# the user's environment names one that never was): nothing the program
# writes goes there, so it downloads the served file whole and starts it once.
. "$(dirname "$0")/../lib.sh"

SERVED="$WORK/www/pelmora/PelMoraSetup.exe"
make_served_installer "$SERVED" 1500000
start_nginx "$WORK/www"
clean_wine_temp

# Wine takes TEMP and TMP from the user's environment key at each start.
ENVIRONMENT='HKCU\Environment'
MISSING='C:\vorlane-no-such-folder\Temp'
USER_TEMP=$(timeout 30 winepath -w "$E2E_TEMP" 2>/dev/null | tr -d '\r')
[ -n "$USER_TEMP" ] || fail "no Windows path for the user's temporary folder"
restore_user_temp() {
    local value
    for value in TEMP TMP; do
        timeout 30 wine reg add "$ENVIRONMENT" /v "$value" /t REG_SZ /d "$USER_TEMP" /f >/dev/null 2>&1
    done
}
CLEANUP_HOOK=restore_user_temp
for value in TEMP TMP; do
    timeout 30 wine reg add "$ENVIRONMENT" /v "$value" /t REG_SZ /d "$MISSING" /f >/dev/null ||
        fail "could not set $value"
done
seen=$(timeout 60 wine cmd /c echo %TEMP% %TMP% 2>/dev/null | tr -d '\r')
[ "$seen" = "$MISSING $MISSING" ] || fail "a started program sees TEMP and TMP as \"$seen\""
[ ! -e "$(timeout 30 winepath -u "$MISSING" 2>/dev/null)" ] || fail "$MISSING exists"

install_once "start with TEMP and TMP naming a missing folder" "$SERVED"
[ ! -e "$(timeout 30 winepath -u "$MISSING" 2>/dev/null)" ] || fail "the program made the folder TEMP names"
log "downloaded into $(download_dir) with TEMP=$MISSING"
