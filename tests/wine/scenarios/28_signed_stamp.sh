# A signed program stays signed through stamp.exe and --replace (osslsigncode
# and the program's own WinVerifyTrust check accept it), reads its block and
# starts the installer with exactly the stamped parameters.
. "$(dirname "$0")/../lib.sh"

make_signing_certificates
SERVED="$WORK/www/pelmora/PelMoraSetup.exe"
make_served_installer "$SERVED" 3000123
start_nginx "$WORK/www"
clean_wine_temp

PROGRAM="$WORK/installer.exe"
sign_program publisher "$E2E_INSTALLER" "$PROGRAM"
stamp "$(winpath "$PROGRAM")" vid=1 ap=1 || fail "stamp.exe failed"
stamp --replace "$(winpath "$PROGRAM")" vid=15 \
    'offerUrl=https://offers.example/landing?src=pel&id=7' ap=13 || fail "stamp.exe --replace failed"
ossl_verified "$PROGRAM" || fail "osslsigncode does not accept the stamped program"
verdict=$(trust_verdict "$PROGRAM")
log "WinVerifyTrust: $verdict"
[ "$verdict" = "0x00000000 $E2E_PUBLISHER" ] || fail "WinVerifyTrust does not accept the stamped program: $verdict"
shown=$(stamp --show "$(winpath "$PROGRAM")" | tr -d '\r')
[ "$shown" = $'ap=13\nofferUrl=https://offers.example/landing?src=pel&id=7\nvid=15' ] || fail "--show gives [$shown]"

start_installer "$PROGRAM"
wait_window "PelMora installation" 60 || fail "no progress window"
wait_installer 120
[ "$INSTALLER_RC" = 0 ] || fail "installer.exe ended with $INSTALLER_RC"
expect_parameters ' /vid=15 /offerUrl="https://offers.example/landing?src=pel&id=7" /ap="13"'

# A signed program with bytes after its table (a block appended after the
# signature) is refused and left as it was.
cp "$PROGRAM" "$WORK/appended.exe"
printf 'PayloadInfo:vid=1;\0' >>"$WORK/appended.exe"
cp "$WORK/appended.exe" "$WORK/appended-before.exe"
stamp --replace "$(winpath "$WORK/appended.exe")" vid=2 2>"$WORK/refusal.txt" && fail "a table not at the end was stamped"
grep -q "does not end the file" "$WORK/refusal.txt" || fail "refusal says [$(cat "$WORK/refusal.txt")]"
cmp -s "$WORK/appended.exe" "$WORK/appended-before.exe" || fail "the refused file was changed"
