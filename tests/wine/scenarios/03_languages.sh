# The window speaks the user's interface language: English by default,
# Russian for ru_RU (Wine follows LANG when the glibc locale exists). Checks
# the caption from the window title, the dialog texts, the close
# confirmation's texts, and saves one screenshot per language.
. "$(dirname "$0")/../lib.sh"

SERVED="$WORK/www/pelmora/PelMoraSetup.exe"
make_served_installer "$SERVED" 4000000
# Slow enough that the window stays up while it is looked at.
start_nginx "$WORK/www" "limit_rate 16k;"

# run_language NAME CAPTION PREPARING PROGRESS_WORD CONFIRM_CAPTION YES NO MESSAGE ENV...
run_language() {
    local name=$1 caption=$2 preparing=$3 word=$4 confirm=$5 yes=$6 no=$7 message=$8
    shift 8
    clean_wine_temp
    start_installer "$E2E_INSTALLER" "$@"
    wait_window "$caption" 60 || fail "$name: no window captioned \"$caption\""
    local title
    title=$(window_title "$(window_id "$caption")")
    [ "$title" = "$caption" ] || fail "$name: window title [$title], expected [$caption]"
    wait_control_text "$caption" 1001 60 "$word: *%" || fail "$name: no progress text; saw: $PROBED"
    expect_control "$PROBED" 1002 "$preparing"
    log "$name: $(control_text "$PROBED" 1001)"
    screenshot "$name"

    send_keys "$caption" alt+F4
    wait_window "$confirm" 20 || fail "$name: no close confirmation \"$confirm\""
    local box
    box=$(probe "$confirm")
    expect_control "$box" 1004 "$message"
    expect_control "$box" 1 "$yes"
    expect_control "$box" 2 "$no"
    screenshot "$name-confirmation"
    send_keys "$confirm" Return
    wait_installer 30
    [ "$INSTALLER_RC" = 0 ] || fail "$name: installer.exe ended with $INSTALLER_RC after the confirmed close"
    [ ! -e "$(dl pel_mora_.exe.cmdline)" ] || fail "$name: the installer was started after a confirmed close"
    timeout 20 wineserver -w
}

run_language english "PelMora installation" "Preparing to Install..." "Progress" \
    "Closing of downloader" "Yes" "No, continue" "Do you want to stop download process?" \
    LANG=C.UTF-8 LC_ALL= LC_MESSAGES=
run_language russian "Установка PelMora" "Подготовка к установке..." "Прогресс" \
    "Закрытие программы" "Да" "Нет, продолжить" "Хотите ли вы завершить процесс загрузки?" \
    LANG=ru_RU.UTF-8 LC_ALL= LC_MESSAGES= LOCPATH="$E2E_LOCPATH"
