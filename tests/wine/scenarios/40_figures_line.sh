# The figures line under the bar, in English and in Russian: it grows with
# the download, never claims more than the bar's percentage or nginx has
# served, names the size, the speed and (after a few seconds) the time left
# in the window's language; the status and progress lines read as always.
. "$(dirname "$0")/../lib.sh"

SERVED="$WORK/www/pelmora/PelMoraSetup.exe"
SIZE=6000000 # 5.8 MB as the line writes it, rounded up
make_served_installer "$SERVED" "$SIZE"

# bytes_of "5,2 МБ" / "5.2 MB" / "312.0 KB": the bytes the count stands for, rounded down.
bytes_of() {
    awk -v text="$1" 'BEGIN {
        split(text, part, " "); gsub(",", ".", part[1])
        scale = (part[2] ~ /^(KB|КБ)$/) ? 1024 : 1048576
        printf "%d\n", part[1] * scale
    }'
}

# run_language NAME CAPTION PREPARING PROGRESS_WORD TOTAL FIGURES_PATTERN ENV...
run_language() {
    local name=$1 caption=$2 preparing=$3 word=$4 total=$5 pattern=$6
    shift 6
    clean_wine_temp
    : >"$WORK/nginx/logs/access.log"
    start_installer "$E2E_INSTALLER" "$@"
    wait_window "$caption" 60 || fail "$name: no window captioned \"$caption\""
    local seen="$WORK/$name-figures.txt" probed figures progress
    : >"$seen"
    while kill -0 "$WINE_PID" 2>/dev/null; do
        probed=$(probe "$caption") || break
        figures=$(control_text "$probed" 1005)
        progress=$(control_text "$probed" 1001)
        [ -n "$figures" ] || continue
        expect_control "$probed" 1002 "$preparing"
        printf '%s|%s\n' "$(percent_of "$progress")" "$figures" >>"$seen"
        [[ "$progress" == "$word: "*% ]] || fail "$name: progress line [$progress] beside [$figures]"
    done
    wait_installer 120
    [ "$INSTALLER_RC" = 0 ] || fail "$name: installer.exe ended with $INSTALLER_RC"
    cmp "$SERVED" "$(dl pel_mora_.exe)" || fail "$name: the started installer differs from the served one"

    local served lines=0 last=0 count later timed=0 complete=0
    served=$(awk '$6 == "\"GET" { sum += $10 } END { print sum + 0 }' "$WORK/nginx/logs/access.log")
    # A probe reads the progress line before the figures line, and the window
    # may take a report between the two: a figures line is held against the
    # bar as the next probe read it.
    while IFS='|' read -r figures later; do
        [[ "$figures" =~ $pattern ]] || fail "$name: figures line [$figures] is not of the expected form"
        local counted=${BASH_REMATCH[1]} left=${BASH_REMATCH[5]}
        # Once every byte is in, the count reads as the total does (rounded
        # up), and stays so.
        if [ "$counted" = "$total" ]; then
            complete=1
            continue
        fi
        [ "$complete" = 0 ] || fail "$name: [$figures] after the line of the finished download"
        count=$(bytes_of "$counted")
        [ "$count" -ge "$last" ] || fail "$name: the count went back: [$figures] after $last bytes"
        [ "$count" -le "$served" ] || fail "$name: [$figures] counts more than the $served bytes nginx served"
        # The bar is updated more often than the line, never less far.
        [ -z "$later" ] || [ $((count * 100 / SIZE)) -le "$later" ] ||
            fail "$name: [$figures] is ahead of the bar at $later%"
        [ -n "$left" ] && timed=$((timed + 1))
        last=$count
        lines=$((lines + 1))
    done < <(awk -F'|' 'NR > 1 { print line "|" $1 } { line = $2 } END { if (NR) print line "|" }' "$seen")
    [ "$lines" -ge 3 ] || fail "$name: only $lines figures lines were seen"
    [ "$timed" -ge 1 ] || fail "$name: no line named the time left"
    log "$name: $lines figures lines, the last [$(tail -n 1 "$seen" | cut -d'|' -f2)], nginx served $served bytes"
    timeout 20 wineserver -w
}

# 12 connections of 48 KB/s: about ten seconds.
start_nginx "$WORK/www" "limit_rate 48k;"
run_language english "PelMora installation" "Preparing to Install..." "Progress" "5.8 MB" \
    '^([0-9]+\.[0-9] (KB|MB)) of 5\.8 MB( · [0-9]+\.[0-9] (KB|MB)/s( · about [0-9]+ (s|min) left)?)?$' \
    LANG=C.UTF-8 LC_ALL= LC_MESSAGES=
run_language russian "Установка PelMora" "Подготовка к установке..." "Прогресс" "5,8 МБ" \
    '^([0-9]+,[0-9] (КБ|МБ)) из 5,8 МБ( · [0-9]+,[0-9] (КБ|МБ)/с( · осталось около [0-9]+ (с|мин))?)?$' \
    LANG=ru_RU.UTF-8 LC_ALL= LC_MESSAGES= LOCPATH="$E2E_LOCPATH"
