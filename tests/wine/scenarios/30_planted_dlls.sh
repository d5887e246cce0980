# DLLs planted under system names beside the program (as in a Downloads
# folder) and in the temporary folder never load: neither into the program,
# through its imports or the DLLs Windows and libcurl load by name, nor into
# the installer it starts. Wine prefers its own DLLs; the overrides make it
# search as Windows does, the program's folder first. A system DLL that
# cannot be loaded at all ends the program with a box, not a crash.
. "$(dirname "$0")/../lib.sh"

PLANTED="$(dirname "$E2E_RECORDER")/planted_dll.dll"
[ -f "$PLANTED" ] || fail "$PLANTED is missing (build the windows preset first)"
NAMES="bcrypt crypt32 winhttp wintrust version uxtheme iphlpapi secur32"

SERVED="$WORK/www/pelmora/PelMoraSetup.exe"
make_served_installer "$SERVED" 3000123
start_nginx "$WORK/www"
clean_wine_temp
# Wine names the marker after the DLL as it was asked for (VERSION.dll).
remove_temp_plant() { rm -f "$E2E_TEMP/version.dll" "$E2E_TEMP"/*.dll.loaded; }
CLEANUP_HOOK=remove_temp_plant
remove_temp_plant

cp "$E2E_INSTALLER" "$WORK/installer.exe"
stamp "$(winpath "$WORK/installer.exe")" vid=15 ap=13 || fail "stamp.exe failed"
for name in $NAMES; do cp "$PLANTED" "$WORK/$name.dll"; done
cp "$PLANTED" "$E2E_TEMP/version.dll"

start_installer "$WORK/installer.exe" WINEDLLOVERRIDES="mscoree,mshtml=;${NAMES// /,}=n,b"
wait_window "PelMora installation" 60 || log "no progress window"
wait_installer 120

# Every finding at once: which DLL loaded tells more than the first symptom.
problems=""
[ "$INSTALLER_RC" = 0 ] || problems+="installer.exe ended with $INSTALLER_RC; "
RECORD="$(dl pel_mora_.exe.cmdline)"
parameters=""
if wait_until 30 test -f "$RECORD"; then
    parameters=$(recorded_parameters "$RECORD")
    [ "$parameters" = ' /vid=15 /ap="13"' ] || problems+="parameters [$parameters]; "
else
    problems+="the downloaded installer did not run; "
fi
cmp -s "$SERVED" "$(dl pel_mora_.exe)" || problems+="the download is not the served file; "
for marker in "$WORK"/*.loaded "$E2E_TEMP"/*.loaded "$(download_dir)"/*.loaded; do
    [ -e "$marker" ] && problems+="loaded: ${marker%.loaded}; "
done

# WinHTTP switched off: the proxy lookup cannot load it.
clean_wine_temp
start_installer "$WORK/installer.exe" WINEDLLOVERRIDES="mscoree,mshtml=;winhttp=d"
if wait_window "Error!" 60; then
    box=$(probe "Error!")
    grep -q 'Static 1 [-0-9,]* Internal Error (system code: 126)\. The program will be automatically closed!$' <<<"$box" ||
        problems+="the box reads: $box; "
    log "without winhttp.dll: $(grep -o 'Internal Error.*' <<<"$box")"
    send_keys "Error!" Return
    wait_installer 30
    [ "$INSTALLER_RC" = 1 ] || problems+="without winhttp.dll installer.exe ended with $INSTALLER_RC; "
else
    problems+="without winhttp.dll no box ($(program_state)); "
fi

[ -z "$problems" ] || fail "$problems"
log "no planted DLL loaded; the installer was started with [$parameters]"
