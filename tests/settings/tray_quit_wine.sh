#!/usr/bin/env bash
# The tray menu's quit entry ends the real program with exit code 0, the watcher stopped in order. Under a
# Wine virtual desktop the notification area sits at the bottom right of its taskbar, where a right click
# opens the icon's menu; Up selects its last entry, quit.
set -u
bundle="$1"
dir=$(mktemp -d)
desktop="tapvela-tray-$$"
cleanup() {
    kill "$pid" 2>/dev/null
    rm -rf "$dir"
}
trap cleanup EXIT
cp -r "$bundle" "$dir/app"
cd "$dir/app" || exit 1
printf '[General]\r\napikey=K1234567\r\nid=dev1\r\n' >config.ini
# cmd waits for the program and keeps its exit code.
printf 'tapvela.exe > out.txt\r\necho %%errorlevel%% > exitcode.txt\r\n' >run.bat
# Nothing listens on port 9: the settings window's device request fails at once and says so in a box,
# which does not stand in the tray menu's way.
env -u WINEPATH -u QT_PLUGIN_PATH -u QT_QPA_PLATFORM WINEDEBUG=-all TAPVELA_SERVICE_URL=http://127.0.0.1:9 \
    wine explorer "/desktop=$desktop,1024x768" cmd /c run.bat >"$dir/wine.txt" 2>&1 &
pid=$!

. "$(dirname "${BASH_SOURCE[0]}")/../support/within.sh"
started() { grep -q 'connected' out.txt 2>/dev/null; }
# The watcher's last line: the quit entry was taken and the program is on its way out.
quitting() { tr -d '\r' <out.txt 2>/dev/null | grep -qx 'fin' || [ -s exitcode.txt ]; }
ended() { [ -s exitcode.txt ]; }

if ! within 600 started; then
    echo "tapvela did not start"; cat "$dir/wine.txt" out.txt 2>/dev/null; exit 1
fi
window=$(xdotool search --sync --name "$desktop" | head -n 1)
# Nothing outside Wine tells when the icon is in place or its menu is open: each try gives the menu longer to
# open (a click on the icon while a late menu is still open only closes that menu), and the tries end once the
# program is on its way out.
for try in $(seq 10); do
    sleep 1
    xdotool mousemove --window "$window" 1012 758 click 3
    sleep "$((try / 2)).$((try % 2 * 5))"
    xdotool key Up Return
    within 30 quitting && break
done
if ! within 600 ended; then
    echo "the tray menu's quit did not end tapvela"; tr -d '\r' <out.txt; exit 1
fi
code=$(tr -d '\r ' <exitcode.txt)
output=$(tr -d '\r' <out.txt | tr '\n' ' ')
echo "exit code $code; tapvela wrote: $output"
[ "$code" = "0" ] || exit 1
# The watcher ended its loop before the process ended.
tr -d '\r' <out.txt | grep -qx 'fin' || exit 1
