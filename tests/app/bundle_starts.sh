#!/usr/bin/env bash
# The Windows bundle runs as it is: copied alone into a fresh folder, with no DLL path, no plugin path and
# Qt's own windows platform plugin, it starts and reports that nobody is signed in.
set -u
bundle="$1"
dir=$(mktemp -d)
trap 'kill "$pid" 2>/dev/null; rm -rf "$dir"' EXIT
cp -r "$bundle" "$dir/tapvela"
cd "$dir/tapvela" || exit 1
env -u WINEPATH -u QT_PLUGIN_PATH -u QT_QPA_PLATFORM WINEDEBUG=-all wine tapvela.exe >"$dir/out.txt" 2>"$dir/err.txt" &
pid=$!
# Up to a minute: a first Wine start on a loaded machine is slow, and the loop ends as soon as the line is there.
for _ in $(seq 600); do
    if tr -d '\r' <"$dir/out.txt" | grep -qx 'not connected'; then
        echo "bundle started: $(tr -d '\r' <"$dir/out.txt" | tr '\n' ' ')"
        exit 0
    fi
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
done
echo "the bundle did not start; it wrote:"
cat "$dir/out.txt" "$dir/err.txt"
exit 1
