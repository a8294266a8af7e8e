#!/usr/bin/env bash
# The capture benchmark: presses the hotkey 50 times (or $PRESSES) against a window holding a selection and
# reports, per platform, the median and 95th percentile of the time from the hotkey's key-down, as the watcher
# sees it, to the push request's arrival at the test service, and the longest run of the key-event handling
# (on Windows, of the whole low-level hook procedure). Each platform runs twice: in a quiet session, then with
# another program taking the clipboard 0 to 500 ms before each press, counting misses and wrong numbers.
#
#     tests/hotkey/bench/run-bench.sh [linux-build-dir] [windows-build-dir]
#
# A build directory that is missing or lacks the benchmark is skipped. Runs on an Xvfb of its own and, for
# Windows, a Wine prefix of its own.
set -u
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../../.." && pwd)
linux_build="${1:-$root/build/linux}"
windows_build="${2:-$root/build/windows}"
presses="${PRESSES:-50}"

display=""
for number in $(seq 120 160); do
    if [ ! -e "/tmp/.X11-unix/X$number" ] && [ ! -e "/tmp/.X$number-lock" ]; then
        display=":$number"
        break
    fi
done
[ -n "$display" ] || { echo "no free X display number" >&2; exit 1; }
Xvfb "$display" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
prefix=$(mktemp -d "${TMPDIR:-/tmp}/tapvela-bench-wine.XXXXXX")
cleanup() {
    if [ -f "$prefix/system.reg" ]; then
        WINEPREFIX="$prefix" wineserver -k 2>/dev/null
    fi
    kill "$xvfb" 2>/dev/null
    wait "$xvfb" 2>/dev/null
    rm -rf "$prefix"
}
trap cleanup EXIT
for _ in $(seq 1 50); do
    [ -e "/tmp/.X11-unix/X${display#:}" ] && break
    sleep 0.1
done
export DISPLAY="$display" LANG=en_US.UTF-8 LANGUAGE= LC_ALL= LC_MESSAGES=

status=0
bench="$linux_build/tests/hotkey/bench/bench_hotkey_capture"
if [ -x "$bench" ]; then
    echo "== Linux / X11 (Xvfb)"
    for mode in quiet interleaved; do
        "$bench" "$presses" "$mode" 2>/dev/null | grep -E '^(presses|clipboard|misses|hotkey|key event|benchmark)' ||
            status=1
    done
else
    echo "== Linux / X11: no benchmark in $linux_build, skipped"
fi

bench="$windows_build/tests/hotkey/bench/bench_hotkey_capture.exe"
if [ -f "$bench" ]; then
    echo "== Windows (Wine)"
    for mode in quiet interleaved; do
        WINEPREFIX="$prefix" "$root/cmake/wine-run.sh" "$bench" "$presses" "$mode" 2>/dev/null |
            tr -d '\r' | grep -E '^(presses|clipboard|misses|hotkey|key event|benchmark)' || status=1
    done
else
    echo "== Windows: no benchmark in $windows_build, skipped"
fi
exit $status
