#!/usr/bin/env bash
# Builds every release artifact of both platforms into dist/ with a SHA256SUMS file: the Debian packages of the
# linux preset (CMake target release_linux) and the Windows installer and portable zip of the windows preset
# (CMake target release_windows). Each target leaves its artifacts in <build dir>/release/.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
"$root/scripts/install-deps.sh"

dist="$root/dist"
rm -rf "$dist"
mkdir -p "$dist"
for preset in linux windows; do
    cmake --preset "$preset" >/dev/null
    rm -rf "build/$preset/release"
    cmake --build --preset "$preset" --target "release_$preset" -j "$(nproc)"
    cp "build/$preset/release/"* "$dist/"
done
(cd "$dist" && sha256sum -- * >SHA256SUMS)
echo "release artifacts in $dist:"
ls -l "$dist"
