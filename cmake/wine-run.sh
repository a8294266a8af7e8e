#!/usr/bin/env bash
# Runs a cross-built Windows executable under Wine with the Qt and mingw runtime DLLs on its path.
# A QtTest executable (tst_*) writes its log to a file, which is printed afterwards: under Wine that is
# the only reliable way to see it.
set -u
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
qt="${TAPVELA_QT_MINGW_DIR:-$root/.deps/qt5-mingw}"
runtime=$(dirname "$(x86_64-w64-mingw32-g++-posix -print-file-name=libstdc++-6.dll)")
export WINEPATH="Z:${qt//\//\\}\\bin;Z:${runtime//\//\\};Z:\\usr\\x86_64-w64-mingw32\\lib"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
export QT_PLUGIN_PATH="${QT_PLUGIN_PATH:-Z:${qt//\//\\}\\plugins}"
if [ -z "${WINEPREFIX:-}" ]; then
    # One private prefix per test run; scripts/test.sh makes it and exports WINEPREFIX.
    export WINEPREFIX="${TMPDIR:-/tmp}/tapvela-wine-$(id -u)"
fi
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    "$here/wine-prefix.sh" "$WINEPREFIX"
fi
exe="$1"
shift
case "$(basename "$exe")" in
tst_*)
    log=$(mktemp --suffix=.txt)
    wine "$exe" "$@" -o "Z:${log//\//\\},txt"
    rc=$?
    cat "$log"
    # Wine now and then hangs a test process in its exit, after QtTest has finished, and its server then kills
    # it (SIGKILL, 137). The log is complete by then: it decides, and the kill is said.
    if [ "$rc" -eq 137 ] && grep -q '^\*\*\*\*\*\*\*\*\* Finished testing of ' "$log" &&
        grep -Eq '^Totals: [0-9]+ passed, 0 failed' "$log"; then
        echo "wine-run: the test process was killed in its exit after every test passed; counted as passed"
        rc=0
    fi
    rm -f "$log"
    exit $rc
    ;;
*)
    exec wine "$exe" "$@"
    ;;
esac
