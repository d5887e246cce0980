# The progress window at 96, 144 and 192 DPI (Wine's LogPixels, set before
# each start and put back at the end), in English and in Russian: the program
# declares per-monitor v2 DPI awareness, the window is at that DPI, its client
# area and controls are 1.5 and 2 times their 96-DPI size, every visible text
# fits its control, and the longest figures lines of either language fit the
# figures line, all measured in the font the template names.
. "$(dirname "$0")/../lib.sh"

SERVED="$WORK/www/pelmora/PelMoraSetup.exe"
make_served_installer "$SERVED" 4000000
# Slow enough that the window stays up while it is looked at.
start_nginx "$WORK/www" "limit_rate 16k;"

CLEANUP_HOOK=restore_wine_dpi

FONT=(--font 10 "MS Shell Dlg")
FIGURES=1005
LONGEST=(
    "1023.9 MB of 1023.9 MB · 1023.9 MB/s · about 59 min left"
    "1023,9 МБ из 1023,9 МБ · 1023,9 МБ/с · осталось около 59 мин"
    "Connection lost, trying again in 59 s"
    "Нет соединения, повтор через 59 с"
)
MEASURES=()
for line in "${LONGEST[@]}"; do MEASURES+=(--measure "$line"); done

# The 96-DPI layout: "width height" by "client" or a control id, "left top"
# by a control id and "-at".
declare -A BASE

# scaled ACTUAL BASE DPI: ACTUAL is BASE * DPI / 96, give or take 8 %:
# dialog units follow the font's average character width, a whole number of
# pixels at each DPI (7 at 96 DPI, 11 at 144 under Wine, 1.57 times as many).
scaled() {
    local want=$(( $2 * $3 / 96 ))
    local slack=$(( want * 8 / 100 + 1 ))
    [ "$1" -ge $((want - slack)) ] && [ "$1" -le $((want + slack)) ]
}

# check_layout NAME DPI PROBE_OUTPUT
check_layout() {
    local name=$1 dpi=$2 out=$3 key w h bw bh
    local dpi_line
    dpi_line=$(awk '$1 == "dpi"' <<<"$out")
    read -r _ got size <<<"$dpi_line"
    log "$name: $dpi_line"
    [ "$got" = "$dpi" ] || fail "$name: the window is at ${got:-no} DPI, expected $dpi"
    local sizes
    sizes="client ${size/x/ }"$'\n'
    sizes+=$(awk '$1 == "control" { split($5, r, ","); print $2, r[3] - r[1], r[4] - r[2]; print $2 "-at", r[1], r[2] }' \
        <<<"$out")
    while read -r key w h; do
        if [ "$dpi" = 96 ]; then
            [ -n "${BASE[$key]:-}" ] && [ "${BASE[$key]}" != "$w $h" ] &&
                fail "$name: $key is ${w}x$h, at 96 DPI before ${BASE[$key]/ /x}"
            BASE[$key]="$w $h"
        else
            [ -n "${BASE[$key]:-}" ] || fail "$name: $key was not there at 96 DPI"
            read -r bw bh <<<"${BASE[$key]}"
            scaled "$w" "$bw" "$dpi" && scaled "$h" "$bh" "$dpi" ||
                fail "$name: $key is ${w}x$h at $dpi DPI, ${bw}x$bh at 96 DPI"
        fi
    done <<<"$sizes"
}

# check_fit NAME PROBE_OUTPUT: every visible Static control's text, and each
# of the longest figures lines, fit the width of their control.
check_fit() {
    local name=$1 out=$2 id text_width width figures
    width_of() { awk -v id="$1" '$1 == "control" && $2 == id { split($5, r, ","); print r[3] - r[1] }' <<<"$out"; }
    while read -r _ id text_width; do
        [ "$(control_visible "$out" "$id")" = 1 ] || continue
        width=$(width_of "$id")
        [ "$text_width" -le "$width" ] ||
            fail "$name: the text [$(control_text "$out" "$id")] of control $id is $text_width px," \
                "wider than its $width px"
        log "$name: control $id text $text_width px of $width px"
    done < <(awk '$1 == "width"' <<<"$out")
    figures=$(width_of "$FIGURES")
    [ -n "$figures" ] || fail "$name: no figures line"
    local measured=0
    while read -r _ text_width text; do
        measured=$((measured + 1))
        [ "$text_width" -le "$figures" ] ||
            fail "$name: [$text] is $text_width px, wider than the figures line's $figures px"
        log "$name: $text_width of $figures px: $text"
    done < <(awk '$1 == "measure"' <<<"$out")
    [ "$measured" = "${#LONGEST[@]}" ] || fail "$name: $measured of ${#LONGEST[@]} lines measured"
}

# run_case NAME DPI CAPTION PROGRESS_WORD ENV...
run_case() {
    local name=$1 dpi=$2 caption=$3 word=$4
    shift 4
    set_wine_dpi "$dpi" || fail "could not set LogPixels to $dpi"
    # Every Wine process, the desktop's included, reads the DPI when it starts.
    timeout 20 wineserver -k 2>/dev/null
    clean_wine_temp
    start_installer "$E2E_INSTALLER" "$@"
    wait_window "$caption" 60 || fail "$name: no window captioned \"$caption\""
    wait_control_text "$caption" 1001 60 "$word: *%" || fail "$name: no progress text; saw: $PROBED"
    local out
    out=$(timeout -k 5 30 wine "$E2E_PROBE" "${FONT[@]}" "${MEASURES[@]}" "$caption" </dev/null 2>/dev/null |
        tr -d '\r')
    check_layout "$name" "$dpi" "$out"
    check_fit "$name" "$out"
    screenshot "$name"
    kill "$WINE_PID" 2>/dev/null
    timeout 20 wineserver -k 2>/dev/null
    wait "$WINE_PID" 2>/dev/null
    WINE_PID=""
}

# Wine sizes every window for its one system DPI whatever a program declares:
# the declaration is read from the program the way the system reads it.
declared=$(timeout -k 5 30 wine "$E2E_PROBE" --manifest "$(winpath "$E2E_INSTALLER")" </dev/null 2>/dev/null |
    tr -d '\r')
log "the manifest declares: $(tr '\n' ' ' <<<"$declared")"
grep -qE '^dpiAwareness PerMonitorV2(,|$)' <<<"$declared" || fail "the manifest declares no per-monitor v2 awareness"
# Windows before 10 1607 reads only this one.
grep -qx 'dpiAware true' <<<"$declared" || fail "the manifest declares no system DPI awareness for older Windows"

for dpi in 96 144 192; do
    run_case "english-$dpi" "$dpi" "PelMora installation" "Progress" LANG=C.UTF-8 LC_ALL= LC_MESSAGES=
    run_case "russian-$dpi" "$dpi" "Установка PelMora" "Прогресс" \
        LANG=ru_RU.UTF-8 LC_ALL= LC_MESSAGES= LOCPATH="$E2E_LOCPATH"
done
