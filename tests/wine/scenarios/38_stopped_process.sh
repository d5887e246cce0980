# The program does not run for 90 s mid-download (its Wine process stopped,
# as a laptop that sleeps) while the server restarts on its port, cutting
# every connection; once woken, the dead connections are an outage just
# begun, not one of 90 s: no error box, the installer is started once and
# equals the served file.
. "$(dirname "$0")/../lib.sh"

SERVED="$WORK/www/pelmora/PelMoraSetup.exe"
SIZE=8000000
make_served_installer "$SERVED" "$SIZE"
CAPTION="PelMora installation"
clean_wine_temp

progress_at_least() {
    local percent
    percent=$(percent_of "$(control_text "$(probe "$CAPTION")" 1001)")
    [ -n "$percent" ] && [ "$percent" -ge "$1" ]
}

# The Unix processes of the running program (its Wine process and any
# helper it started), by the program's file name on their command line.
program_pids() {
    local name pid
    name=$(basename "$E2E_INSTALLER")
    for pid in $(ls /proc | grep -E '^[0-9]+$'); do
        { tr '\0' ' ' <"/proc/$pid/cmdline"; } 2>/dev/null | grep -qF "$name" && echo "$pid"
    done
}

STOPPED=""
resume_program() { [ -n "$STOPPED" ] && kill -CONT $STOPPED 2>/dev/null; STOPPED=""; }
CLEANUP_HOOK=resume_program

start_nginx "$WORK/www" "limit_rate 16k;"
start_installer "$E2E_INSTALLER" LANG=C.UTF-8
wait_window "$CAPTION" 60 || fail "no progress window"
wait_until 90 progress_at_least 10 || fail "the download did not reach 10%"
STOPPED=$(program_pids | tr '\n' ' ')
[ -n "$STOPPED" ] || fail "no process of the program found"
kill -STOP $STOPPED || fail "could not stop the program"
log "program stopped (pids $STOPPED) for 90 s; the server restarts meanwhile"
kill "$NGINX_PID" 2>/dev/null
wait_until 10 bash -c "! kill -0 $NGINX_PID" || fail "nginx did not stop"
NGINX_PID=""
start_nginx "$WORK/www" "limit_rate 16k;"
sleep 90
resume_program
installed_once "after the program woke" "$SERVED" 150
