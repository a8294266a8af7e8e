#!/usr/bin/env bash
# tapvela's main job on this machine: the bundled push service in demo mode on 127.0.0.1, and tapvela
# pointed at it. Prints the demo account and the address of the phone's page.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

# Only the two programs: a build of their own without the tests, which need much more installed.
"$root/scripts/install-deps.sh" --run
build="$root/build/linux-run"
cmake --preset linux -B "$build" -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" --target tapvela tapvela-server

port="${TAPVELA_PORT:-48080}"
data="${XDG_DATA_HOME:-$HOME/.local/share}/tapvela-server"
mkdir -p "$data"

server_pid=""
xvfb_pid=""
cleanup() {
    [ -n "$server_pid" ] && kill "$server_pid" >/dev/null 2>&1
    [ -n "$xvfb_pid" ] && kill "$xvfb_pid" >/dev/null 2>&1
    true
}
trap cleanup EXIT

"$build/server/tapvela-server" demo --port "$port" --db "$data/demo.db" &
server_pid=$!
for _ in $(seq 50); do
    (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break
    sleep 0.1
done

if [ -z "${DISPLAY:-}" ]; then
    # No desktop here: give tapvela a virtual one so that it still runs.
    display=99
    while [ -e "/tmp/.X${display}-lock" ]; do display=$((display + 1)); done
    Xvfb ":$display" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
    xvfb_pid=$!
    export DISPLAY=":$display"
    echo "No display found: tapvela runs on the virtual display $DISPLAY."
fi

echo "Starting tapvela against http://127.0.0.1:$port (quit it from its tray menu, or press Ctrl+C here)."
TAPVELA_SERVICE_URL="http://127.0.0.1:$port" "$build/tapvela" "$@"
