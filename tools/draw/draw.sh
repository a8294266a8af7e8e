#!/usr/bin/env bash
# Redraws every picture and icon of src/resources, and the phone page's home-screen icons in server/page, from
# draw.cpp. The results are committed; the build never runs this. Needs g++, Qt 5 (Gui) with pkg-config,
# fonts-dejavu-core and ImageMagick's convert.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
top=$(dirname "$(dirname "$here")")
resources=$top/src/resources
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# shellcheck disable=SC2046 # pkg-config prints several words on purpose
g++ -std=c++17 -O1 -fPIC -Wall -Wextra -o "$work/draw" "$here/draw.cpp" $(pkg-config --cflags --libs Qt5Gui)
QT_QPA_PLATFORM=offscreen "$work/draw" "$resources" "$work/frames" "$top/server/page"

# Six frames of 16/100 s, looping forever, on one shared palette so that colours do not flicker.
convert "$work"/frames/frame_[0-5].png +dither -colors 255 -append "$work/palette.png"
convert -delay 16 -loop 0 -dispose none "$work"/frames/frame_[0-5].png +dither -remap "$work/palette.png" \
    "$resources/images/sending.gif"
