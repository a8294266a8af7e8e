#!/usr/bin/env bash
# The end of the session is never refused: with the settings window shown (and a warning box over it),
# `wineboot --end-session` sends every window WM_QUERYENDSESSION and WM_ENDSESSION, as Windows does at log-off;
# the session ends, tapvela ends with exit code 0, and config.ini still holds what it held.
set -u
bundle="$1"
dir=$(mktemp -d)
pid=""
cleanup() {
    [ -n "$pid" ] && kill "$pid" 2>/dev/null
    rm -rf "$dir"
}
trap cleanup EXIT
cp -r "$bundle" "$dir/app"
cd "$dir/app" || exit 1
printf '[General]\r\napikey=K1234567\r\nid=dev1\r\nkey=14\r\n' >config.ini

. "$(dirname "${BASH_SOURCE[0]}")/../support/within.sh"
shown() { xdotool search --onlyvisible --name '^tapvela - settings$' >/dev/null 2>&1; }
ended() { ! kill -0 "$pid" 2>/dev/null; }

# Nothing listens on port 9: the devices request fails and its warning box stands over the window.
env -u WINEPATH -u QT_PLUGIN_PATH -u QT_QPA_PLATFORM WINEDEBUG=-all TAPVELA_SERVICE_URL=http://127.0.0.1:9 \
    wine tapvela.exe >out.txt 2>"$dir/wine.txt" &
pid=$!
if ! within 600 shown; then
    echo "the settings window did not show"; tr -d '\r' <out.txt; cat "$dir/wine.txt"; exit 1
fi

WINEDEBUG=-all wine wineboot --end-session >"$dir/wineboot.txt" 2>&1
refused=$?
if ! within 300 ended; then
    echo "tapvela still runs after the end of the session (wineboot: $refused)"; exit 1
fi
wait "$pid"
code=$?
pid=""
echo "wineboot --end-session: $refused; tapvela's exit code: $code; it wrote: $(tr -d '\r' <out.txt | tr '\n' ' ')"
config=$(tr -d '\r' <config.ini)
for line in apikey=K1234567 id=dev1 key=14; do
    grep -qx "$line" <<<"$config" || { echo "config.ini lost $line:"; echo "$config"; exit 1; }
done
[ "$refused" = 0 ] && [ "$code" = 0 ]
