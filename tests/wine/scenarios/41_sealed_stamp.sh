# A build with the distributor's sealing key: a signed program sealed by the
# stamp tool stays signed and starts the installer with exactly the stamped
# parameters (the seal is not among them). The same file with one value
# changed in place, a copy stamped without a seal, and one sealed for
# another product each give "Invalid installer!" and send no request.
. "$(dirname "$0")/../lib.sh"

make_signing_certificates
SERVED="$WORK/www/pelmora/PelMoraSetup.exe"
make_served_installer "$SERVED" 2000000
start_nginx "$WORK/www"
clean_wine_temp

PROGRAM="$WORK/sealed.exe"
sign_program publisher "$E2E_INSTALLER_SEALED" "$PROGRAM"
cp "$PROGRAM" "$WORK/signed.exe"
"$E2E_NATIVE_STAMP" --key "$E2E_SEAL_KEY" "$PROGRAM" vid=15 partnerId=7 ap=13 || fail "stamp --key failed"
ossl_verified "$PROGRAM" || fail "osslsigncode does not accept the sealed program"

start_installer "$PROGRAM"
wait_installer 120
has_window "Error!" && fail "the sealed program was refused: $(probe "Error!" | grep Static)"
[ "$INSTALLER_RC" = 0 ] || fail "installer.exe ended with $INSTALLER_RC"
expect_parameters ' /partnerId=7 /vid=15 /ap="13"'
timeout 20 wineserver -w

# refused NAME FILE: the start shows "Invalid installer!" and asks nothing.
refused() {
    local name=$1 file=$2 before box
    before=$(nginx_requests)
    start_installer "$file"
    wait_window "Error!" 60 || fail "$name: no \"Error!\" box ($(program_state); $(desktop_state))"
    box=$(probe "Error!")
    grep -qx 'control [0-9]* Static 1 [-0-9,]* Invalid installer!' <<<"$box" ||
        fail "$name: the box does not say \"Invalid installer!\": $box"
    send_keys "Error!" Return
    wait_installer 30
    [ "$INSTALLER_RC" = 0 ] || fail "$name: installer.exe ended with $INSTALLER_RC"
    [ "$(nginx_requests)" = "$before" ] || fail "$name: a request was sent"
    log "$name: refused"
    timeout 20 wineserver -w
}

# One value changed in place, same length, as a hex editor would: the
# signature still verifies (only the PE checksum, which Windows does not
# check for programs, is off).
python3 - "$PROGRAM" "$WORK/changed.exe" <<'PY'
import sys
data = open(sys.argv[1], 'rb').read()
assert data.count(b'partnerId=7;') == 1
open(sys.argv[2], 'wb').write(data.replace(b'partnerId=7;', b'partnerId=8;'))
PY
timeout 60 osslsigncode verify -CAfile "$WORK/ca/ca.pem" -in "$WORK/changed.exe" 2>&1 |
    grep -q '^Signature verification: ok' || fail "the signature of the changed copy does not verify"
refused "one value changed" "$WORK/changed.exe"

cp "$WORK/signed.exe" "$WORK/unsealed.exe"
"$E2E_NATIVE_STAMP" "$WORK/unsealed.exe" vid=15 partnerId=7 ap=13 || fail "stamp failed"
refused "unsealed" "$WORK/unsealed.exe"

cp "$WORK/signed.exe" "$WORK/other.exe"
"$E2E_NATIVE_STAMP" --key "$E2E_SEAL_KEY" --product dravolin "$WORK/other.exe" vid=15 || fail "stamp --product failed"
refused "sealed for another product" "$WORK/other.exe"
refused "not stamped at all" "$WORK/signed.exe"
