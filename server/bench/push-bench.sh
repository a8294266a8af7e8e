#!/usr/bin/env bash
# Load test of tapvela-server's push endpoint with wrk on loopback (a benchmark, not a test).
# Starts a server on a free port with a fresh database, signs in, pushes for SECONDS with CONNECTIONS
# connections, then reports requests per second, latency, pushes stored against 200 answers, and the
# server's resident memory at rest and after the run.
#
# usage: server/bench/push-bench.sh [SERVER_BINARY] [SECONDS] [CONNECTIONS]
#        (BENCH_SERVER_OPTIONS="--threads 32" passes options to the server)
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
server=${1:-$here/../../build/linux/server/tapvela-server}
seconds=${2:-20}
connections=${3:-16}

for tool in wrk sqlite3 sha1sum; do
    command -v "$tool" >/dev/null || { echo "push-bench: $tool is needed" >&2; exit 1; }
done
[[ -x $server ]] || { echo "push-bench: no server at $server (build it first)" >&2; exit 1; }
(( seconds >= 3 && seconds <= 120 )) || { echo "push-bench: SECONDS must be 3 to 120" >&2; exit 1; }

work=$(mktemp -d)
pid=
cleanup() {
    if [[ -n $pid ]]; then
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT

db=$work/bench.db
printf 'bench-password\n' | "$server" add-user --db "$db" bench >/dev/null
device=$("$server" add-device --db "$db" bench "Bench phone" | sed -n 's/^device id: //p')

"$server" serve --port 0 --db "$db" ${BENCH_SERVER_OPTIONS:-} >"$work/out" 2>"$work/err" &
pid=$!
for _ in $(seq 100); do
    [[ -s $work/out ]] && break
    sleep 0.1
done
port=$(sed -n '1s/^listening on http:\/\/127\.0\.0\.1:\([0-9]*\)$/\1/p' "$work/out")
[[ -n $port ]] || { echo "push-bench: the server did not start" >&2; cat "$work/err" >&2; exit 1; }
base=http://127.0.0.1:$port

# One plain HTTP/1.0 exchange through bash's own socket support; prints the body.
get() {
    exec 3<>"/dev/tcp/127.0.0.1/$port"
    printf 'GET %s HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n' "$1" >&3
    sed '1,/^\r$/d' <&3
    exec 3<&-
}
digest=$(printf '%s' bench-password | sha1sum | cut -d' ' -f1)
key=$(get "/all/login_app.php?username=bench&password=$digest")
[[ $key != error && -n $key ]] || { echo "push-bench: sign-in failed" >&2; exit 1; }

rss() { awk '/^VmRSS/ {print $2 " kB"}' "/proc/$pid/status"; }
rest=$(rss)

echo "wrk: 2 threads, $connections connections, ${seconds}s against $base/all/api.php"
BENCH_KEY=$key BENCH_DEVICE=$device BENCH_PUSH_SECONDS=$((seconds - 1)) \
    wrk -t2 -c"$connections" -d"${seconds}s" --latency -s "$here/push.lua" "$base" | tee "$work/wrk"

after=$(rss)
stored=$(sqlite3 "$db" 'SELECT count(*) FROM pushes')
answered=$(sed -n 's/^pushes answered 200: //p' "$work/wrk")
echo
echo "pushes stored: $stored"
if [[ $stored == "$answered" ]]; then
    echo "pushes stored == pushes answered 200: yes"
else
    echo "pushes stored == pushes answered 200: NO ($stored stored, $answered answered)"
fi
echo "server resident memory at rest: $rest"
echo "server resident memory after the run: $after"
