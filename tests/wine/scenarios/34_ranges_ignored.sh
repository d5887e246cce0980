# A server that ignores Range (nginx with "max_ranges 0", as some caching
# proxies and antivirus web shields behave) answers every part request with
# the whole file: the download goes on as one stream, no error box shows,
# and the installer is started once, byte-exact.
. "$(dirname "$0")/../lib.sh"

SERVED="$WORK/www/pelmora/PelMoraSetup.exe"
make_served_installer "$SERVED" 6000123
start_nginx "$WORK/www" "max_ranges 0;"
clean_wine_temp

install_once "ranges off" "$SERVED"
whole=$(grep '"GET ' "$WORK/nginx/logs/access.log" | grep -c '" 200 ')
partial=$(grep '"GET ' "$WORK/nginx/logs/access.log" | grep -c '" 206 ')
log "whole-file answers: $whole, partial answers: $partial"
[ "$partial" -eq 0 ] || fail "nginx answered $partial range requests: ranges were not switched off"
