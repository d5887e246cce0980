# Shell pieces shared by the Wine scenarios (tests/wine/run, lib.sh) and
# scripts/demo: loopback nginx, a private Xvfb display, Windows paths and the
# Wine user's temporary folder. Sourced, not run; every wait is bounded.

# A Windows path for an absolute Unix path (drive Z: is the Unix root).
winpath() { printf 'Z:%s' "${1//\//\\}"; }

port_answers() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }

free_port() {
    python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# launch_nginx DIR PORT ROOT [DIRECTIVES]: serves ROOT on 127.0.0.1:PORT with
# its configuration, logs and temporary files in DIR; DIRECTIVES go into the
# server block (e.g. "limit_rate 16k;"). Sets NGINX_PID; returns non-zero when
# nginx does not answer within 10 s. The access log is DIR/logs/access.log.
launch_nginx() {
    local dir=$1 port=$2 root=$3 extra=${4:-}
    mkdir -p "$dir/temp" "$dir/logs"
    local user=""
    [ "$(id -u)" -eq 0 ] && user="user root;"
    cat >"$dir/nginx.conf" <<EOF
$user
worker_processes 1;
pid $dir/nginx.pid;
error_log $dir/logs/error.log info;
events { worker_connections 256; }
http {
    access_log $dir/logs/access.log;
    client_body_temp_path $dir/temp/body;
    proxy_temp_path $dir/temp/proxy;
    fastcgi_temp_path $dir/temp/fastcgi;
    uwsgi_temp_path $dir/temp/uwsgi;
    scgi_temp_path $dir/temp/scgi;
    default_type application/octet-stream;
    server {
        listen 127.0.0.1:$port;
        root $root;
        $extra
    }
}
EOF
    nginx -p "$dir/" -c "$dir/nginx.conf" -g 'daemon off;' >"$dir/logs/stdout.log" 2>&1 &
    NGINX_PID=$!
    local tries
    for tries in $(seq 50); do
        port_answers "$port" && kill -0 "$NGINX_PID" 2>/dev/null && return 0
        kill -0 "$NGINX_PID" 2>/dev/null || return 1
        sleep 0.2
    done
    return 1
}

# launch_xvfb DIR: a display of our own (Xvfb picks a free number itself).
# Sets XVFB_PID and exports DISPLAY; returns non-zero when it does not start.
launch_xvfb() {
    local file="$1/display"
    rm -f "$file"
    Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$file" >"$1/xvfb.log" 2>&1 &
    XVFB_PID=$!
    local tries number=""
    for tries in $(seq 50); do
        number=$(tr -dc 0-9 2>/dev/null <"$file")
        [ -n "$number" ] && break
        sleep 0.2
    done
    [ -n "$number" ] || return 1
    export DISPLAY=":$number"
}

# Without a window manager Wine draws the title bars itself (N), so that
# screenshots show caption and close box; on a desktop the manager draws them.
wine_draws_title_bars() {
    if [ "$1" = yes ]; then
        timeout 60 wine reg add 'HKCU\Software\Wine\X11 Driver' /v Decorated /t REG_SZ /d N /f >/dev/null 2>&1
    else
        timeout 60 wine reg delete 'HKCU\Software\Wine\X11 Driver' /v Decorated /f >/dev/null 2>&1
    fi
    return 0
}

# The Wine user's temporary folder as a Unix path (empty when not found).
wine_temp_dir() {
    local windows
    windows=$(timeout 60 wine cmd /c echo %TEMP% 2>/dev/null | tr -d '\r')
    [ -n "$windows" ] && timeout 30 winepath -u "$windows" 2>/dev/null
}

# The DPI of Wine's programs: Wine 8 reads it when a process starts, from the
# REG_DWORD LogPixels under HKCU\Control Panel\Desktop, or when that is not
# there from the one under HKLM\System\CurrentControlSet\Hardware
# Profiles\Current\Software\Fonts. set_wine_dpi DPI keeps the value it
# replaces the first time ("none" when there was none); restore_wine_dpi puts
# it back.
WINE_DPI_KEY='HKCU\Control Panel\Desktop'
WINE_DPI_SAVED=""
set_wine_dpi() {
    if [ -z "$WINE_DPI_SAVED" ]; then
        WINE_DPI_SAVED=$(timeout 30 wine reg query "$WINE_DPI_KEY" /v LogPixels 2>/dev/null | tr -d '\r' |
            awk '$1 == "LogPixels" && $2 == "REG_DWORD" { print $3 }')
        : "${WINE_DPI_SAVED:=none}"
    fi
    timeout 30 wine reg add "$WINE_DPI_KEY" /v LogPixels /t REG_DWORD /d "$1" /f >/dev/null 2>&1
}
restore_wine_dpi() {
    case "$WINE_DPI_SAVED" in
        "") return 0 ;;
        none) timeout 30 wine reg delete "$WINE_DPI_KEY" /v LogPixels /f >/dev/null 2>&1 ;;
        *) timeout 30 wine reg add "$WINE_DPI_KEY" /v LogPixels /t REG_DWORD /d "$((WINE_DPI_SAVED))" /f \
            >/dev/null 2>&1 ;;
    esac
    WINE_DPI_SAVED=""
}

# The program's download folder: a Vorlane-<random> folder under the Windows
# directory's Temp, the newest one when the program had to make another.
download_dir() { ls -1dt "$WINEPREFIX"/drive_c/windows/[Tt]emp/Vorlane-* 2>/dev/null | head -n 1; }
