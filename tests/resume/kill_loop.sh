#!/usr/bin/env bash
# kill -9 loop: segfetch is killed at a random moment of a rate-limited
# download from nginx, then continued to the end by a second (unlimited) run;
# every pair must end byte-exact with the file's digest recorded beside its
# state, and the bytes nginx served across a pair must stay on average under
# 1.3 times the file size. Prints one line per pair and a summary.
#
# usage: tests/resume/kill_loop.sh SEGFETCH [RUNS]
# Environment: KILL_LOOP_MB (file size, default 32), KILL_LOOP_RATE (nginx
# limit_rate per connection, default 768k).
set -uo pipefail
SEGFETCH=${1:?usage: kill_loop.sh SEGFETCH [RUNS]}
RUNS=${2:-30}
MB=${KILL_LOOP_MB:-32}
RATE=${KILL_LOOP_RATE:-768k}
SEGFETCH=$(realpath "$SEGFETCH")

WORK=$(mktemp -d /tmp/vorlane-kill-loop.XXXXXX)
NGINX_PID=
cleanup() {
    [ -n "$NGINX_PID" ] && kill "$NGINX_PID" 2>/dev/null && wait "$NGINX_PID" 2>/dev/null
    rm -rf "$WORK"
}
trap cleanup EXIT

mkdir -p "$WORK/root" "$WORK/nginx/temp" "$WORK/out"
head -c $((MB * 1024 * 1024 + 12345)) /dev/urandom > "$WORK/root/f.bin"
SIZE=$(stat -c %s "$WORK/root/f.bin")
WANT=$(sha256sum < "$WORK/root/f.bin")
PORT=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
USER_LINE=; [ "$(id -u)" = 0 ] && USER_LINE="user root;"
cat > "$WORK/nginx/nginx.conf" <<CONF
$USER_LINE
worker_processes 1;
pid $WORK/nginx/nginx.pid;
error_log $WORK/nginx/error.log;
events { worker_connections 256; }
http {
  log_format bytes '\$status \$body_bytes_sent';
  access_log $WORK/nginx/access.log bytes;
  client_body_temp_path $WORK/nginx/temp;
  proxy_temp_path $WORK/nginx/temp;
  fastcgi_temp_path $WORK/nginx/temp;
  uwsgi_temp_path $WORK/nginx/temp;
  scgi_temp_path $WORK/nginx/temp;
  server {
    listen 127.0.0.1:$PORT;
    root $WORK/root;
    # The continuing run need not crawl: the flag file lifts the limit.
    set \$limit_rate $RATE;
    if (-f $WORK/unlimited) { set \$limit_rate 0; }
  }
}
CONF
/usr/sbin/nginx -g 'daemon off;' -p "$WORK/nginx/" -c "$WORK/nginx/nginx.conf" -e "$WORK/nginx/error.log" &
NGINX_PID=$!
for _ in $(seq 50); do curl -s -o /dev/null "http://127.0.0.1:$PORT/" && break; sleep 0.1; done
URL="http://127.0.0.1:$PORT/f.bin"

served() { awk '{ s += $2 } END { print s + 0 }' "$WORK/nginx/access.log"; }

exact=0
ratios=()
for i in $(seq "$RUNS"); do
    rm -f "$WORK/out/"* "$WORK/unlimited"
    before=$(served)
    # A fresh first run, killed between 0.2 s and most of a full download.
    delay=$(python3 -c "import random; print(round(random.uniform(0.2, 3.2), 2))")
    "$SEGFETCH" --fresh "$WORK/out/f.bin" "$URL" 2>/dev/null &
    pid=$!
    sleep "$delay"
    kill -9 "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
    touch "$WORK/unlimited"
    "$SEGFETCH" "$WORK/out/f.bin" "$URL" 2> "$WORK/second.log"
    rc=$?
    sleep 0.05  # nginx writes the log line when the connection's request ends
    got=$(sha256sum < "$WORK/out/f.bin" 2>/dev/null)
    ratio=$(python3 -c "print(f'{($(served) - $before) / $SIZE:.3f}')")
    ratios+=("$ratio")
    continued=no; grep -q "continuing" "$WORK/second.log" && continued=yes
    # The record beside the state holds the finished file's digest, which a
    # later start compares the file with before reusing it.
    recorded=$(sed -n 3p "$WORK/out/f.bin.state.validator" 2>/dev/null)
    if [ "$rc" = 0 ] && [ "$got" = "$WANT" ] && [ "$recorded  -" = "$WANT" ]; then
        exact=$((exact + 1)); verdict=exact
    else
        verdict="WRONG rc=$rc"
    fi
    printf 'pair %2d: killed after %ss, continued=%s, served %sx, %s\n' "$i" "$delay" "$continued" "$ratio" "$verdict"
done

python3 - "$RUNS" "$exact" "${ratios[@]}" <<'PY'
import statistics, sys
runs, exact, ratios = int(sys.argv[1]), int(sys.argv[2]), [float(r) for r in sys.argv[3:]]
q = statistics.quantiles(ratios, n=4) if len(ratios) > 1 else ratios * 3
print(f"kill loop: {exact}/{runs} byte-exact; served per pair: mean {statistics.mean(ratios):.3f}x, "
      f"min {min(ratios):.3f}x, quartiles {q[0]:.3f}/{q[1]:.3f}/{q[2]:.3f}x, max {max(ratios):.3f}x")
sys.exit(0 if exact == runs and statistics.mean(ratios) < 1.3 else 1)
PY
