# A build with PRODUCT_PUBLISHER starts only an installer signed by that
# publisher (checked by WinVerifyTrust on the held file): signed by the
# publisher (and stamped after signing): started with the program's own
# stamped parameters; unsigned, signed by somebody else, or
# changed in one byte after signing: the error box with the verification's
# code, nothing started.
. "$(dirname "$0")/../lib.sh"

make_signing_certificates
SERVED="$WORK/www/pelmora/PelMoraSetup.exe"
make_served_installer "$WORK/unsigned.exe" 900123
sign_program publisher "$WORK/unsigned.exe" "$WORK/publisher.exe"
stamp "$(winpath "$WORK/publisher.exe")" vid=99 || fail "stamp.exe failed on the signed installer"
sign_program other "$WORK/unsigned.exe" "$WORK/other.exe"
cp "$WORK/publisher.exe" "$WORK/changed.exe"
printf '\xA5' | dd of="$WORK/changed.exe" bs=1 seek=600000 conv=notrunc status=none
mkdir -p "$(dirname "$SERVED")"
start_nginx "$WORK/www"
PROGRAM="$WORK/installer.exe"
cp "$E2E_INSTALLER_PUBLISHER" "$PROGRAM"
stamp "$(winpath "$PROGRAM")" channel=7 || fail "stamp.exe failed"

# served file, then the code expected in the error box (empty: started)
cases=(
    "publisher.exe "
    "unsigned.exe 0x800B0100"
    "other.exe 0x800B010F"
    "changed.exe 0x80096010"
)
for entry in "${cases[@]}"; do
    read -r served code <<<"$entry"
    log "case $served"
    cp "$WORK/$served" "$SERVED"
    clean_wine_temp
    start_installer "$PROGRAM" LANG=C.UTF-8
    if [ -z "$code" ]; then
        wait_installer 120
        [ "$INSTALLER_RC" = 0 ] || fail "$served: installer.exe ended with $INSTALLER_RC"
        RECORD="$(dl pel_mora_.exe.cmdline)"
        wait_until 30 test -f "$RECORD" || fail "$served: the publisher's installer was not started"
        [ "$(recorded_parameters "$RECORD")" = ' /channel="7"' ] || fail "$served: parameters [$(cat "$RECORD")]"
        continue
    fi
    wait_window "Error!" 120 || fail "$served: no error box"
    RECORD="$(dl pel_mora_.exe.cmdline)"
    text=$(control_text "$(probe "Error!")" 1004)
    log "error box: $text"
    [ "$text" = "Internal Error (system code: $code). The program will be automatically closed!" ] ||
        fail "$served: error box shows [$text]"
    screenshot "publisher-check-${served%.exe}"
    send_keys "Error!" Return
    wait_installer 30
    [ "$INSTALLER_RC" = 0 ] || fail "$served: installer.exe ended with $INSTALLER_RC after the error box"
    sleep 1
    [ ! -e "$RECORD" ] || fail "$served: started although refused"
    cmp -s "$SERVED" "$(dl pel_mora_.exe)" || fail "$served: the downloaded file differs from the served one"
done
