#!/usr/bin/env bash
# The pairing window of the Windows build, added and shown again, with a QR code that reads back as the page
# address: the test saves its screenshot under Wine, and zbarimg reads it here.
set -u
runner="$1"
test_exe="$2"
reply="$3"
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
TAPVELA_PAIRING_SCREENSHOT="Z:${dir//\//\\}\\pairing.png" bash "$runner" "$test_exe" addPhone showOnPhone || exit 1
expected=$(sed -n 's/^ *"page": *"\(.*\)",\{0,1\}$/\1/p' "$reply")
read=$(zbarimg --raw -q "$dir/pairing.png")
echo "expected: $expected"
echo "read:     $read"
[ -n "$expected" ] && [ "$read" = "$expected" ]
