# A finished-looking download planted in the user's %TEMP% beforehand (a
# complete resume state, the record of the served file's version for it, and
# a program of the attacker's of the served size under the installer's file
# name, all written as any program of the user could) is never started: the
# program downloads the served file into its own folder and starts that one.
. "$(dirname "$0")/../lib.sh"

SERVED="$WORK/www/pelmora/PelMoraSetup.exe"
SIZE=8000000
make_served_installer "$SERVED" "$SIZE"
start_nginx "$WORK/www"
clean_wine_temp

URL="http://127.0.0.1:$E2E_PORT/pelmora/PelMoraSetup.exe"
etag=$(curl -sI "$URL" | tr -d '\r' | sed -n 's/^[Ee][Tt]ag: //p')
[ -n "$etag" ] || fail "nginx named no ETag"
# The attacker's program: the recorder with other padding, so that starting
# it leaves its command line beside it in %TEMP%.
make_served_installer "$E2E_TEMP/pel_mora_.exe" "$SIZE"
planted_path=$(timeout 30 winepath -w "$E2E_TEMP/pel_mora_.exe" 2>/dev/null | tr -d '\r')
[ -n "$planted_path" ] || fail "no Windows path for the planted program"
# A complete state (every worker past the last part) in the engine's format,
# and its record: the file version, a line break, the CRC-32 of the state.
python3 - "$E2E_TEMP" "$planted_path" "$SIZE" "$URL" "$etag" <<'PY' || fail "could not plant the state"
import struct, sys, zlib
temp, path, size, url, etag = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4].encode(), sys.argv[5]
part = 524288
parts = (size + part - 1) // part
workers = min(parts, 12)
text = lambda b: struct.pack("<i", len(b)) + b
wide = path.encode("utf-16-le")
state = (text(b"") + text(b"") + struct.pack("<i", len(wide) // 2) + wide + struct.pack("<iii", part, size, 12)
         + struct.pack("<%di" % workers, *[0] * workers) + struct.pack("<%di" % workers, *[parts] * workers)
         + struct.pack("<i", 1) + text(url))
open(temp + "/_.txt", "wb").write(state)
open(temp + "/_.txt.validator", "w").write("%s\n%08x" % (etag, zlib.crc32(state)))
PY

start_installer "$E2E_INSTALLER"
wait_installer 120
[ "$INSTALLER_RC" = 0 ] || fail "installer.exe ended with $INSTALLER_RC"
wait_until 30 dl_exists pel_mora_.exe.cmdline || fail "the served installer was not started from the download folder"
[ ! -e "$E2E_TEMP/pel_mora_.exe.cmdline" ] || fail "the program planted in %TEMP% was started"
cmp "$SERVED" "$(dl pel_mora_.exe)" || fail "the started installer differs from the served one"
requests=$(nginx_requests)
[ "$requests" -ge 13 ] || fail "only $requests requests: the served file was not downloaded"
log "the planted state was passed over; $requests requests fetched the served file into $(download_dir)"
