#!/usr/bin/env bash
# The installer's life in a fresh Wine prefix of its own: a silent install with the service's address (files,
# Start-menu shortcut, Uninstall key, the address in config.ini; the installed tapvela starts and keeps config.ini
# beside itself), an upgrade to a newer build
# while a signed-in tapvela runs (it is ended, config.ini and its address are kept, the new copy starts signed
# in), the same back to the older build with another address (it replaces the address alone), and two silent uninstalls: one whose start entry points at this copy (removed) and
# one whose entry points elsewhere (kept), with a file of the user's in the folder (kept).
# Arguments: release dir, staged bundle dir, version, full version, newer full version, the script that builds
# an installer, then cmake and its arguments for that script but FULL_VERSION, WORK_DIR and OUT_DIR.
set -u
release=$1 stage=$2 version=$3 full=$4 newer=$5 build_script=$6
shift 6
setup="$release/tapvela-$version-setup.exe"
dir=$(mktemp -d)
pid=""
cleanup() {
    [ -n "$pid" ] && kill "$pid" 2>/dev/null
    WINEPREFIX="$dir/prefix" wineserver -k >/dev/null 2>&1
    rm -rf "$dir"
}
trap cleanup EXIT
fail() {
    echo "FAIL: $*"
    exit 1
}
. "$(dirname "${BASH_SOURCE[0]}")/../support/within.sh"
now() { date +%s.%N; }
seconds() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.1f", b - a }'; }

# The newer installer, built now from the same bundle with the next build number.
"$@" "-DFULL_VERSION=$newer" "-DWORK_DIR=$dir/work" "-DOUT_DIR=$dir/newer" -DZIP=OFF -P "$build_script" >"$dir/newer.log" 2>&1 ||
    { cat "$dir/newer.log"; fail "the newer installer was not built"; }
newer_setup="$dir/newer/tapvela-$version-setup.exe"

export WINEPREFIX="$dir/prefix" WINEARCH=win64 WINEDEBUG=-all
"$(dirname "${BASH_SOURCE[0]}")/../../cmake/wine-prefix.sh" "$WINEPREFIX"
unset WINEPATH QT_PLUGIN_PATH QT_QPA_PLATFORM

folders=$(wine cmd /c 'echo %LOCALAPPDATA%;%APPDATA%' 2>/dev/null | tr -d '\r')
localappdata=$(winepath -u "${folders%%;*}" 2>/dev/null)
appdata=$(winepath -u "${folders##*;}" 2>/dev/null)
instdir_win="${folders%%;*}\\Programs\\tapvela"
instdir="$localappdata/Programs/tapvela"
shortcut="$appdata/Microsoft/Windows/Start Menu/Programs/tapvela.lnk"
uninstall_key='HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\tapvela'
run_key='HKCU\Software\Microsoft\Windows\CurrentVersion\Run'
[ -d "$localappdata" ] || fail "no %LOCALAPPDATA% in the prefix: $folders"

reg_value() { wine reg query "$1" /v "$2" 2>/dev/null | tr -d '\r' | sed -n "s/^ *$2 *REG_[A-Z_]* *//p"; }
install() {
    local start
    start=$(now)
    wine "$1" /S "${@:2}" >"$dir/setup.txt" 2>&1 || fail "$1 /S ${*:2} failed: $(cat "$dir/setup.txt")"
    echo "install ($(basename "$(dirname "$1")")): $(seconds "$start" "$(now)") s"
}
uninstall() {
    local start
    start=$(now)
    wine "$instdir/uninstall.exe" /S || fail "uninstall.exe /S failed"
    # The uninstaller goes on from a copy of itself in %TEMP%; its last step removes the folder.
    within 1200 [ ! -e "$instdir/uninstall.exe" ] || fail "the uninstaller did not finish"
    echo "uninstall: $(seconds "$start" "$(now)") s"
    timeout 120 wineserver -w
}
start_tapvela() {
    : >"$dir/out.txt"
    TAPVELA_SERVICE_URL=http://127.0.0.1:9 wine "$instdir_win\\tapvela.exe" >"$dir/out.txt" 2>"$dir/err.txt" &
    pid=$!
}
wrote() { tr -d '\r' <"$dir/out.txt" | grep -qx "$1"; }
ended() { ! kill -0 "$pid" 2>/dev/null; }
config_value() { tr -d '\r' <"$instdir/config.ini" | sed -n "s/^$1=//p"; }
# The user's settings as they were, and the service's address given as the argument.
config_kept() {
    [ "$(config_value apikey)" = K1234567 ] && [ "$(config_value id)" = dev1 ] && [ "$(config_value key)" = 14 ] &&
        [ "$(config_value server)" = "$1" ] && [ "$(grep -c '^\[General\]' "$instdir/config.ini")" = 1 ]
}
# Installs over the signed-in tapvela that runs: it is ended, the Uninstall key names the version installed,
# config.ini is kept and the new copy starts signed in. Arguments: installer, its full version, what the step is,
# the address config.ini then holds, the installer's options.
install_over_running() {
    install "$1" "${@:5}"
    within 100 ended || fail "the running tapvela was not ended by the $3"
    [ "$(reg_value "$uninstall_key" DisplayVersion)" = "$2" ] || fail "DisplayVersion is not $2 after the $3"
    config_kept "$4" || fail "config.ini is not as expected after the $3: $(cat "$instdir/config.ini")"
    start_tapvela
    within 600 wrote 'connected .*' || fail "tapvela did not start signed in after the $3: $(cat "$dir/out.txt")"
}

echo "== silent install with the service's address"
install "$setup" /SERVER=https://push.example.org
[ "$(config_value server)" = https://push.example.org ] || fail "/SERVER= is not in config.ini: $(cat "$instdir/config.ini")"
diff <(cd "$stage" && find . -type f | sort) <(cd "$instdir" && find . -type f ! -name uninstall.exe ! -name config.ini | sort) ||
    fail "the installed files differ from the bundle"
[ -f "$instdir/uninstall.exe" ] || fail "no uninstaller"
tr -d '\0' <"$shortcut" 2>/dev/null | grep -aq 'tapvela\.exe' || fail "no Start-menu shortcut to tapvela.exe"
[ "$(reg_value "$uninstall_key" DisplayName)" = tapvela ] || fail "no Uninstall key"
[ "$(reg_value "$uninstall_key" DisplayVersion)" = "$full" ] || fail "DisplayVersion is not $full"
[ "$(reg_value "$uninstall_key" UninstallString)" = "\"$instdir_win\\uninstall.exe\"" ] || fail "UninstallString"
[ "$(reg_value "$uninstall_key" DisplayIcon)" = "$instdir_win\\tapvela.exe,0" ] || fail "DisplayIcon"
[ -n "$(reg_value "$uninstall_key" Publisher)" ] || fail "no Publisher"
[ -n "$(reg_value "$uninstall_key" EstimatedSize)" ] || fail "no EstimatedSize"

start_tapvela
within 600 wrote 'not connected' || fail "the installed tapvela did not start: $(cat "$dir/out.txt" "$dir/err.txt")"
kill "$pid"
within 100 ended || fail "tapvela did not end"
# The installed folder is the user's own: config.ini lies beside the program, never in %LOCALAPPDATA%\tapvela.
printf '[General]\r\napikey=K1234567\r\nid=dev1\r\nkey=14\r\nserver=https://push.example.org\r\n' >"$instdir/config.ini"
start_tapvela
within 600 wrote 'connected .*' || fail "the installed tapvela did not read its config.ini: $(cat "$dir/out.txt")"
[ ! -e "$localappdata/tapvela" ] || fail "config.ini went to %LOCALAPPDATA%\\tapvela"

echo "== upgrade while a signed-in tapvela runs"
install_over_running "$newer_setup" "$newer" upgrade https://push.example.org

echo "== downgrade (or repair) while it runs"
install_over_running "$setup" "$full" downgrade https://push2.example.org /SERVER=https://push2.example.org

echo "== silent uninstall, start entry of this copy, tapvela running"
wine reg add "$run_key" /v tapvela /t REG_SZ /d "\"$instdir_win\\tapvela.exe\" silent" /f >/dev/null 2>&1 ||
    fail "could not write the Run value"
uninstall
ended || fail "the uninstaller left tapvela running"
[ ! -e "$instdir" ] || fail "left in the install folder: $(find "$instdir")"
[ ! -e "$shortcut" ] || fail "the shortcut is left"
wine reg query "$uninstall_key" >/dev/null 2>&1 && fail "the Uninstall key is left"
[ -z "$(reg_value "$run_key" tapvela)" ] || fail "the Run value of this copy is left"

echo "== silent uninstall, start entry of another copy, a file of the user's"
install "$setup"
other='"C:\Tools\tapvela\tapvela.exe" silent'
wine reg add "$run_key" /v tapvela /t REG_SZ /d "$other" /f >/dev/null 2>&1 || fail "could not write the Run value"
echo mine >"$instdir/notes.txt"
uninstall
[ "$(reg_value "$run_key" tapvela)" = "$other" ] || fail "the Run value of another copy was touched"
[ "$(cd "$instdir" && find . | sort | tr '\n' ' ')" = ". ./notes.txt " ] ||
    fail "the folder should hold the user's file alone: $(find "$instdir")"
wine reg query "$uninstall_key" >/dev/null 2>&1 && fail "the Uninstall key is left"
wine reg delete "$run_key" /v tapvela /f >/dev/null 2>&1
echo "installer: all checks passed ($(stat -c %s "$setup") bytes)"
