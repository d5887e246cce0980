# A downloaded installer that Windows cannot start (its bytes are no program)
# ends in the error box with the system's code, never in silence; Enter
# dismisses it and the program ends.
. "$(dirname "$0")/../lib.sh"

SERVED="$WORK/www/pelmora/PelMoraSetup.exe"
mkdir -p "$(dirname "$SERVED")"
head -c 700000 /dev/urandom >"$SERVED"
start_nginx "$WORK/www"
clean_wine_temp

start_installer "$E2E_INSTALLER" LANG=C.UTF-8
wait_window "Error!" 90 || fail "no error box after the download"
box=$(probe "Error!")
text=$(control_text "$box" 1004)
log "error box: $text"
[[ "$text" =~ ^Internal\ Error\ \(system\ code:\ [1-9][0-9]*\)\.\ The\ program\ will\ be\ automatically\ closed!$ ]] ||
    fail "error box shows [$text]"
expect_control "$box" 1 "Yes"
screenshot launch-failure-error
send_keys "Error!" Return
wait_installer 30
[ "$INSTALLER_RC" = 0 ] || fail "installer.exe ended with $INSTALLER_RC after the error box"
cmp "$SERVED" "$(dl pel_mora_.exe)" || fail "the downloaded file differs from the served one"
