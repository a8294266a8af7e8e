#!/usr/bin/env bash
# The portable zip holds one folder, tapvela, that runs as it is once unpacked anywhere (bundle_starts.sh
# starts it from a fresh folder with no DLL or plugin path).
set -u
zip=$1
here=$(cd "$(dirname "$0")" && pwd)
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
cd "$dir" || exit 1
cmake -E tar xf "$zip" || { echo "the zip does not unpack"; exit 1; }
[ "$(ls)" = tapvela ] || { echo "the zip should hold the folder tapvela alone: $(ls)"; exit 1; }
[ -f tapvela/tapvela.exe ] && [ ! -e tapvela/config.ini ] || { echo "tapvela.exe missing or a config.ini shipped"; exit 1; }
[ -f tapvela/LICENSE.txt ] && [ -f tapvela/THIRD-PARTY-NOTICES.txt ] || { echo "the licence or the notices are missing"; exit 1; }
echo "zip: $(stat -c %s "$zip") bytes"
bash "$here/../app/bundle_starts.sh" "$dir/tapvela"
