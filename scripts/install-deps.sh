#!/usr/bin/env bash
# Installs what tapvela needs on Debian 12. Safe to run again: it only calls apt-get when a package is missing.
#     install-deps.sh --run    what scripts/run.sh needs: build tapvela and tapvela-server for Linux and run them
#     install-deps.sh          that and what the tests, the Windows cross build and the release artifacts need
set -euo pipefail

run_packages=(
    build-essential cmake ninja-build pkg-config
    qtbase5-dev qtbase5-dev-tools libqt5network5 libssl3
    libx11-dev libxi-dev libxtst-dev libxfixes-dev libqt5x11extras5-dev
    libboost-dev libsqlite3-dev libpq-dev libsodium-dev nlohmann-json3-dev libssl-dev libqrencode-dev
    fonts-dejavu-core fonts-paratype
    xvfb
)
test_packages=(
    libqt5websockets5-dev
    xauth xdotool xclip x11-utils
    g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine64 wine
    sqlite3 postgresql-15 locales imagemagick
    chromium wrk python3-cryptography openssl zbar-tools
    clang libclang-rt-14-dev
    lintian desktop-file-utils appstream systemd curl
    nsis
)

case "${1:-}" in
--run) packages=("${run_packages[@]}") ;;
"") packages=("${run_packages[@]}" "${test_packages[@]}") ;;
*)
    echo "usage: $0 [--run]" >&2
    exit 2
    ;;
esac

missing=()
for package in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$package")
    fi
done

if [ ${#missing[@]} -gt 0 ]; then
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    echo "Installing: ${missing[*]}"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
