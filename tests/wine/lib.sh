# Shared shell functions of the Wine scenarios (sourced, not run). The runner
# (tests/wine/run) exports:
#   E2E_DIR      work folder of this run (servers, screenshots, files)
#   E2E_PORT     the loopback port the test installers were built against
#   E2E_INSTALLER, E2E_INSTALLER_DRAVOLIN, E2E_INSTALLER_UNKNOWN
#                installer.exe builds for PRODUCT_ID pelmora, dravolin and an
#                id that is not in the catalog, all downloading from E2E_PORT
#   E2E_INSTALLER_PUBLISHER
#                pelmora built with PRODUCT_PUBLISHER=$E2E_PUBLISHER
#   E2E_STAMP    stamp.exe (Windows build), E2E_RECORDER record_command_line.exe,
#   E2E_PROBE    window_probe.exe, E2E_WATCH hold_watch.exe,
#   E2E_VERIFY   verify_trust.exe (the program's own signature check),
#   E2E_CREDENTIAL save_credential.exe (a sign-in in the credential store)
#   E2E_TEMP     the Wine user's temporary folder as a Unix path
#   E2E_LOCPATH  folder holding the generated ru_RU.UTF-8 locale
#   WINEPREFIX, DISPLAY (an Xvfb display of the runner)
# Every wait is bounded; every server is stopped by the EXIT trap.

set -uo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/tools.sh"

SCENARIO=$(basename "$0" .sh)
WORK="$E2E_DIR/$SCENARIO"
rm -rf "$WORK"
mkdir -p "$WORK" "$E2E_DIR/screenshots"

NGINX_PID=""
PY_PID=""
WINE_PID=""
INSTALLER_RC=""

log() { printf '  [%s] %s\n' "$SCENARIO" "$*" >&2; }

# Every failure also says what ran and what the display held, with a
# screenshot, so that one that does not come back can still be traced.
fail() {
    log "FAILED: $*"
    log "state at the failure: $(program_state); $(desktop_state)"
    screenshot "$SCENARIO-failed"
    exit 1
}

# Scenario-specific clean-up to run before the servers go (a function name).
CLEANUP_HOOK=""

cleanup() {
    [ -n "$CLEANUP_HOOK" ] && "$CLEANUP_HOOK"
    [ -n "$WINE_PID" ] && kill "$WINE_PID" 2>/dev/null
    timeout 20 wineserver -k 2>/dev/null
    [ -n "$NGINX_PID" ] && kill "$NGINX_PID" 2>/dev/null
    [ -n "$PY_PID" ] && kill "$PY_PID" 2>/dev/null
    return 0
}
trap cleanup EXIT

# wait_until SECONDS COMMAND...: polls every 0.2 s until the command succeeds.
wait_until() {
    local deadline=$(( $(date +%s) + $1 ))
    shift
    until "$@" >/dev/null 2>&1; do
        [ "$(date +%s)" -ge "$deadline" ] && return 1
        sleep 0.2
    done
}

# start_nginx ROOT [DIRECTIVES]: serves ROOT on E2E_PORT; DIRECTIVES go into
# the server block (e.g. "limit_rate 20k;").
start_nginx() {
    launch_nginx "$WORK/nginx" "$E2E_PORT" "$1" "${2:-}" || fail "nginx did not start on port $E2E_PORT"
}

# Lines nginx has logged so far (each answered request is one line).
nginx_requests() { wc -l <"$WORK/nginx/logs/access.log" 2>/dev/null || echo 0; }

# start_python_server SCRIPT [PORT]: a small HTTP server (Python) on PORT
# (default E2E_PORT); the script gets PORT and E2E_PORT as its arguments and
# its standard error goes to $WORK/python-server.log.
start_python_server() {
    local port=${2:-$E2E_PORT}
    python3 -c "$1" "$port" "$E2E_PORT" >"$WORK/python-server.log" 2>&1 &
    PY_PID=$!
    wait_until 10 port_answers "$port" || fail "test server did not start on port $port"
}


# The user's Internet settings as Wine's WinHTTP reads them: the binary
# record Windows keeps for the settings dialog (DefaultConnectionSettings).
CONNECTIONS='HKCU\Software\Microsoft\Windows\CurrentVersion\Internet Settings\Connections'

# set_connection_settings FLAGS [PROXY [SCRIPT_URL]]: the record with FLAGS
# (1 direct, 2 manual proxy, 4 auto-config script, 8 automatically detect),
# the manual proxy text, an empty bypass list and the script's address.
set_connection_settings() {
    local blob
    blob=$(python3 -c '
import struct, sys
flags, texts = int(sys.argv[1]), [t.encode() for t in (sys.argv[2], "", sys.argv[3])]
print((struct.pack("<III", 0x46, 0, flags) + b"".join(struct.pack("<I", len(t)) + t for t in texts) + bytes(32)).hex())
' "$1" "${2:-}" "${3:-}")
    timeout 30 wine reg add "$CONNECTIONS" /v DefaultConnectionSettings /t REG_BINARY /d "$blob" /f >/dev/null ||
        fail "could not write the Internet settings"
}

remove_connection_settings() { timeout 30 wine reg delete "$CONNECTIONS" /f >/dev/null 2>&1; }

# A copy of the served stand-in installer: the recorder program padded with
# pseudo-random bytes to SIZE bytes, so that the download spans many parts.
make_served_installer() {
    local path=$1 size=$2
    mkdir -p "$(dirname "$path")"
    cp "$E2E_RECORDER" "$path"
    local have
    have=$(stat -c %s "$path")
    # head -c with a negative count would copy /dev/urandom until the disk is full.
    [ "$size" -ge "$have" ] || fail "make_served_installer: $size bytes is less than the recorder's $have"
    head -c $((size - have)) /dev/urandom >>"$path"
}

# stamp ARGS...: the Windows stamp tool under Wine, bounded.
stamp() {
    timeout -k 5 60 wine "$E2E_STAMP" "$@" </dev/null
}

# start_installer EXE [ENV...]: runs the program under Wine in the background.
start_installer() {
    local exe=$1
    shift
    env "$@" wine "$exe" </dev/null >"$WORK/installer.out" 2>&1 &
    WINE_PID=$!
}

# wait_installer SECONDS: waits for the started program to end and sets
# INSTALLER_RC to its exit code (124 when it did not end in time).
wait_installer() {
    local deadline=$(( $(date +%s) + $1 ))
    while kill -0 "$WINE_PID" 2>/dev/null; do
        if [ "$(date +%s)" -ge "$deadline" ]; then
            INSTALLER_RC=124
            return
        fi
        sleep 0.2
    done
    wait "$WINE_PID"
    INSTALLER_RC=$?
    WINE_PID=""
}

# Whether the started program still runs, for failure messages.
program_state() {
    if [ -z "$WINE_PID" ]; then
        echo "no installer.exe of this scenario runs"
    elif kill -0 "$WINE_PID" 2>/dev/null; then
        echo "installer.exe still runs"
    else
        wait "$WINE_PID" 2>/dev/null
        echo "installer.exe ended with $?"
    fi
}

# What the display and the prefix hold, for failure messages: the captions
# of the X windows and the Windows programs still running.
desktop_state() {
    local id names="" programs
    for id in $(xdotool search --name . 2>/dev/null); do
        names+="[$(xdotool getwindowname "$id" 2>/dev/null)] "
    done
    programs=$(ps -eo args= | grep -o '[A-Za-z0-9_][A-Za-z0-9_.-]*\.exe' | sort | uniq -c | tr -s ' \n' ' ')
    echo "windows: ${names:-none}; programs: ${programs:-none}"
}

# The X window of a top-level window with exactly this caption.
window_id() { xdotool search --name "^$1\$" 2>/dev/null | head -n 1; }

has_window() { [ -n "$(window_id "$1")" ]; }

# wait_window CAPTION SECONDS
wait_window() { wait_until "$2" has_window "$1"; }

# The caption of an X window as the window system shows it (UTF-8).
window_title() { xdotool getwindowname "$1" 2>/dev/null; }

# probe CAPTION: what the window with that caption shows (see window_probe.cpp).
probe() {
    timeout -k 5 30 wine "$E2E_PROBE" "$1" </dev/null 2>/dev/null | tr -d '\r'
}

# The text of one control in probe output.
control_text() {
    awk -v id="$2" '$1 == "control" && $2 == id { sub(/^control [^ ]+ [^ ]+ [^ ]+ [^ ]+ ?/, ""); print; exit }' <<<"$1"
}

control_visible() {
    awk -v id="$2" '$1 == "control" && $2 == id { print $4; exit }' <<<"$1"
}

# Keys to the window with this caption, through the X server's input path.
send_keys() {
    local id caption=$1
    id=$(window_id "$caption")
    [ -n "$id" ] || fail "no window \"$caption\" to type into"
    shift
    # Under load the focus may land after xdotool gives up waiting for it,
    # or move on meanwhile; a key sent then would go to another window and be
    # lost. It is sent once the window has held the focus for a moment.
    has_focus() { [ "$(xdotool getwindowfocus 2>/dev/null)" = "$id" ]; }
    focused_a_moment() {
        has_focus || xdotool windowfocus --sync "$id" 2>/dev/null || xdotool windowfocus "$id"
        has_focus && sleep 0.3 && has_focus
    }
    wait_until 20 focused_a_moment ||
        fail "window \"$caption\" did not keep the focus (it went to $(xdotool getwindowfocus 2>/dev/null))"
    xdotool key --delay 150 "$@"
}

screenshot() {
    import -window root "$E2E_DIR/screenshots/$1.png" 2>/dev/null
}

# The Windows directory's Temp (named in HKLM), which holds the program's
# download folder (download_dir, tools.sh). A Temp the program had to make
# again is spelt as the program names it.
E2E_WINTEMP="$WINEPREFIX/drive_c/windows/temp"
# dl NAME: NAME in the download folder.
dl() { printf '%s/%s' "$(download_dir)" "$1"; }
dl_exists() { local dir; dir=$(download_dir); [ -n "$dir" ] && [ -e "$dir/$1" ]; }
# download_record NAME: the text of the record that vouches for the resume
# state NAME, as the program keeps it under HKLM (a binary value).
download_record() {
    timeout 60 wine reg query 'HKLM\Software\Vorlane\Downloads' /s 2>/dev/null | tr -d '\r' |
        awk -v name="State $1" 'index($0, name " ") && $0 ~ /REG_BINARY/ { print $NF; exit }' |
        python3 -c 'import sys; sys.stdout.buffer.write(bytes.fromhex(sys.stdin.read().strip()))'
}

# Removes what an earlier run left in the Wine user's temporary folder and
# the download folder (the HKLM record then names a folder that is gone, and
# the next start makes a new one).
clean_wine_temp() {
    rm -f "$E2E_TEMP"/*_.exe "$E2E_TEMP"/*_.exe.cmdline "$E2E_TEMP"/*_.exe.starts "$E2E_TEMP"/*_.exe.hold \
        "$E2E_TEMP"/_.txt "$E2E_TEMP"/_.txt.validator
    rm -rf "$E2E_WINTEMP"/Vorlane-*
}

# The parameter part of a recorded command line: what follows the quoted
# program path and the one separating blank the shell puts after it.
recorded_parameters() {
    local line
    line=$(cat "$1")
    case "$line" in
        \"*) line=${line#\"*\"} ;;
        *) line=${line#* } ;;
    esac
    printf '%s' "${line# }"
}

# expect_parameters EXPECTED: the downloaded PelMora installer was started
# with exactly EXPECTED after its path.
expect_parameters() {
    local record actual
    record="$(dl pel_mora_.exe.cmdline)"
    wait_until 30 test -f "$record" || fail "the downloaded installer was not started"
    log "command line: $(cat "$record")"
    actual=$(recorded_parameters "$record")
    [ "$actual" = "$1" ] || fail "parameters differ:
  expected [$1]
  actual   [$actual]"
}

# wait_control_text CAPTION ID SECONDS PATTERN: until the control's text
# matches the shell pattern; the last probe output is left in PROBED.
PROBED=""
wait_control_text() {
    local caption=$1 id=$2 deadline=$(( $(date +%s) + $3 )) pattern=$4
    while :; do
        PROBED=$(probe "$caption")
        # shellcheck disable=SC2053
        [[ "$(control_text "$PROBED" "$id")" == $pattern ]] && return 0
        [ "$(date +%s)" -ge "$deadline" ] && return 1
        sleep 0.5
    done
}

# expect_control PROBE_OUTPUT ID TEXT: the control shows exactly TEXT and is visible.
expect_control() {
    local actual
    actual=$(control_text "$1" "$2")
    [ "$actual" = "$3" ] || fail "control $2 shows [$actual], expected [$3]"
    [ "$(control_visible "$1" "$2")" = 1 ] || fail "control $2 ($3) is hidden"
}

# The percentage in a progress text such as "Progress: 42%".
percent_of() { sed -n 's/.*: \([0-9]*\)%$/\1/p' <<<"$1"; }

# make_signing_certificates: a test CA in $WORK/ca and two code-signing
# certificates it issued, "publisher" (CN $E2E_PUBLISHER) and "other"
# (CN Somebody Else).
make_signing_certificates() {
    local dir="$WORK/ca" name cn
    mkdir -p "$dir"
    printf 'basicConstraints=CA:false\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=codeSigning\n' >"$dir/ext.cnf"
    timeout 60 openssl req -x509 -newkey rsa:2048 -nodes -keyout "$dir/ca.key" -out "$dir/ca.pem" -days 2 \
        -subj "/CN=Vorlane Test Root" -addext "basicConstraints=critical,CA:true" 2>/dev/null || fail "no test CA"
    for name in publisher other; do
        cn=$E2E_PUBLISHER
        [ "$name" = other ] && cn="Somebody Else"
        timeout 60 openssl req -newkey rsa:2048 -nodes -keyout "$dir/$name.key" -out "$dir/$name.csr" \
            -subj "/CN=$cn" 2>/dev/null &&
            timeout 60 openssl x509 -req -in "$dir/$name.csr" -CA "$dir/ca.pem" -CAkey "$dir/ca.key" \
                -CAcreateserial -out "$dir/$name.pem" -days 2 -extfile "$dir/ext.cnf" 2>/dev/null ||
            fail "no $name certificate"
    done
}

# sign_program CERTIFICATE IN OUT: Authenticode signature by "publisher" or "other".
sign_program() {
    timeout 60 osslsigncode sign -certs "$WORK/ca/$1.pem" -key "$WORK/ca/$1.key" -in "$2" -out "$3" \
        >"$WORK/sign.log" 2>&1 || fail "osslsigncode could not sign $2: $(cat "$WORK/sign.log")"
}

# ossl_verified FILE: osslsigncode accepts the signature (chain to the test
# CA) and finds the PE checksum right.
ossl_verified() {
    local out
    out=$(timeout 60 osslsigncode verify -CAfile "$WORK/ca/ca.pem" -in "$1" 2>&1)
    grep -q '^Signature verification: ok' <<<"$out" && ! grep -q 'invalid PE checksum' <<<"$out" && return 0
    log "osslsigncode verify: $out"
    return 1
}

# trust_verdict FILE: the program's own check under Wine, e.g.
# "0x00000000 Vorlane Test Publisher".
trust_verdict() {
    timeout -k 5 60 wine "$E2E_VERIFY" "$(winpath "$1")" </dev/null 2>/dev/null | tr -d '\r'
}

# install_once WHAT SERVED: one start of the pelmora program that must end on
# its own without an error box, with SERVED downloaded byte for byte into the
# download folder and started from there exactly once (WHAT names the start
# in failure messages; the box's text is named when one shows).
install_once() {
    start_installer "$E2E_INSTALLER" LANG=C.UTF-8
    installed_once "$1" "$2" 120
}

# installed_once WHAT SERVED SECONDS: the same for the program already
# started, which has SECONDS to end or show a box.
installed_once() {
    local what=$1 served=$2 starts
    ended_or_box() { ! kill -0 "$WINE_PID" 2>/dev/null || has_window "Error!"; }
    wait_until "$3" ended_or_box || fail "$what: installer.exe did not end ($(desktop_state))"
    has_window "Error!" && fail "$what: error box: $(control_text "$(probe "Error!")" 1004)"
    wait_installer 30
    [ "$INSTALLER_RC" = 0 ] || fail "$what: installer.exe ended with $INSTALLER_RC ($(desktop_state))"
    wait_until 30 dl_exists pel_mora_.exe.starts ||
        fail "$what: the downloaded installer was not started (download folder $(download_dir):" \
            "$(ls "$(download_dir)" 2>&1 | tr '\n' ' '); $(nginx_requests) requests)"
    cmp "$served" "$(dl pel_mora_.exe)" || fail "$what: the started installer differs from the served one"
    starts=$(wc -l <"$(dl pel_mora_.exe.starts)")
    [ "$starts" -eq 1 ] || fail "$what: the installer was started $starts times"
}
