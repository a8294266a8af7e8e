#!/usr/bin/env bash
# The Debian packages as a user meets them: built by the target release_linux, checked with the
# distribution's own tools (lintian, desktop-file-validate, appstreamcli, systemd-analyze), installed with
# apt-get, run from /usr/bin, upgraded over an edited conffile, and purged without a trace.
#   debs.sh BUILD_DIR
# Installs into the running system: needs root, and no other test may run beside it.
set -euo pipefail

build=$(cd "$1" && pwd)
if [ "$(id -u)" -ne 0 ]; then
    echo "SKIP: installing packages needs root"
    exit 77
fi
packages=(tapvela tapvela-server)
work=$(mktemp -d "${TMPDIR:-/tmp}/tapvela-debs.XXXXXX")
apt=(env DEBIAN_FRONTEND=noninteractive apt-get -y -q -o DPkg::Lock::Timeout=300)
children=()

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

purge() {
    local installed=()
    for package in "${packages[@]}"; do
        dpkg-query -W -f='${db:Status-Status}' "$package" 2>/dev/null | grep -qv '^not-installed$' &&
            installed+=("$package")
    done
    [ ${#installed[@]} -eq 0 ] || "${apt[@]}" purge "${installed[@]}" >"$work/purge.log" 2>&1
}

cleanup() {
    for pid in "${children[@]}"; do
        kill "$pid" 2>/dev/null || true
    done
    purge || cat "$work/purge.log" >&2
    rm -rf "$work"
}
trap cleanup EXIT

# Every file and folder of ours anywhere in the system's trees, to compare before and after.
our_files() {
    find /etc /usr /lib /var/lib /opt -xdev -name '*tapvela*' 2>/dev/null | LC_ALL=C sort
}

purge # a run that was killed may have left them installed
our_files >"$work/before"

echo "== build"
cmake --build "$build" --target release_linux >"$work/build.log" 2>&1 || { cat "$work/build.log"; fail "release_linux"; }
version=$(dpkg-deb -f "$build/release/tapvela_"*.deb Version)
arch=$(dpkg --print-architecture)
program_deb="$build/release/tapvela_${version}_${arch}.deb"
server_deb="$build/release/tapvela-server_${version}_${arch}.deb"
[ -f "$program_deb" ] && [ -f "$server_deb" ] || fail "the packages are not in $build/release"
for deb in "$program_deb" "$server_deb"; do
    echo "$(basename "$deb"): $(stat -c %s "$deb") bytes, installed $(dpkg-deb -f "$deb" Installed-Size) KiB"
done

echo "== lintian"
lintian --display-info --pedantic --show-overrides "$program_deb" "$server_deb" >"$work/lintian.log" 2>&1 || true
cat "$work/lintian.log"
for level in E W I P O; do
    printf '%s: %s  ' "$level" "$(grep -c "^$level: " "$work/lintian.log" || true)"
done
echo
lintian --fail-on error,warning "$program_deb" "$server_deb" >/dev/null 2>&1 || fail "lintian reports errors or warnings"

echo "== desktop entry and AppStream metainfo"
dpkg-deb -x "$program_deb" "$work/program"
desktop-file-validate "$work/program/usr/share/applications/tapvela.desktop" >"$work/desktop.log" 2>&1 || true
[ ! -s "$work/desktop.log" ] || { cat "$work/desktop.log"; fail "desktop-file-validate"; }
grep -q '^Name\[fr\]=' "$work/program/usr/share/applications/tapvela.desktop" || fail "no French name"
grep -q '^Comment\[fr\]=' "$work/program/usr/share/applications/tapvela.desktop" || fail "no French comment"
metainfo=$(find "$work/program/usr/share/metainfo" -name '*.metainfo.xml')
appstreamcli validate --no-net --pedantic "$metainfo" || fail "appstreamcli validate"
grep -q "<release version=\"$version\" date=" "$metainfo" || fail "the metainfo's release is not $version"

echo "== install"
"${apt[@]}" install --no-install-recommends "$program_deb" "$server_deb" >"$work/install.log" 2>&1 ||
    { cat "$work/install.log"; fail "apt-get install"; }
for package in "${packages[@]}"; do
    while IFS= read -r path; do
        [ -e "$path" ] || fail "$package lists $path, which is missing"
    done < <(dpkg -L "$package")
done
for path in /usr/bin/tapvela /usr/share/applications/tapvela.desktop /usr/share/icons/hicolor/256x256/apps/tapvela.png \
    /usr/share/man/man1/tapvela.1.gz /usr/bin/tapvela-server /lib/systemd/system/tapvela-server.service \
    /etc/default/tapvela-server /usr/share/man/man1/tapvela-server.1.gz \
    /usr/share/doc/tapvela/THIRD-PARTY-NOTICES.gz /usr/share/doc/tapvela-server/THIRD-PARTY-NOTICES.gz; do
    [ -f "$path" ] || fail "$path is not installed"
done
for package in "${packages[@]}"; do
    grep -qx 'License: Apache-2.0' "/usr/share/doc/$package/copyright" || fail "$package's copyright names no Apache-2.0"
done
dpkg-query -W -f='${Conffiles}' tapvela-server | grep -q '^ /etc/default/tapvela-server ' ||
    fail "/etc/default/tapvela-server is not a conffile"
[ -L /etc/systemd/system/multi-user.target.wants/tapvela-server.service ] || fail "the service is not enabled"

echo "== systemd unit"
systemd-analyze verify /lib/systemd/system/tapvela-server.service >"$work/verify.log" 2>&1 ||
    { cat "$work/verify.log"; fail "systemd-analyze verify"; }
if grep -q tapvela "$work/verify.log"; then
    cat "$work/verify.log"
    fail "systemd-analyze verify has remarks on the unit"
fi
systemd-analyze security --offline=yes --no-pager /lib/systemd/system/tapvela-server.service >"$work/security.log" 2>&1 ||
    true
exposure=$(sed -n 's/.*Overall exposure level for tapvela-server.service: \([0-9.]*\).*/\1/p' "$work/security.log")
[ -n "$exposure" ] || { cat "$work/security.log"; fail "no exposure level"; }
echo "exposure level: $exposure"
awk -v e="$exposure" 'BEGIN { exit !(e < 2.0) }' || { cat "$work/security.log"; fail "exposure $exposure is 2.0 or more"; }

echo "== the installed service answers"
mkfifo "$work/server.out"
/usr/bin/tapvela-server serve --port 0 --db "$work/server.db" >"$work/server.out" 2>&1 &
children+=($!)
exec {server_out}<"$work/server.out"
read -r -t 30 line <&"$server_out" || fail "tapvela-server wrote nothing"
url=${line#listening on }
[ "$url" != "$line" ] || fail "tapvela-server said: $line"
answer=$(curl -s -m 30 "$url/all/login_app.php?username=nobody&password=0000000000000000000000000000000000000000") ||
    fail "no answer from $url"
echo "$url answered: $answer"

echo "== the installed program starts"
[ -n "${DISPLAY:-}" ] || fail "no X display"
mkdir -p "$work/home" "$work/runtime"
chmod 755 "$work"
chmod 700 "$work/runtime"
chown nobody "$work/home" "$work/runtime"
# As an ordinary user, with a home of its own: the login window opens and says "not connected", and the
# configuration goes into the user's folder, since /usr/bin is not writable to the user.
mkfifo "$work/program.out"
env -u XDG_CONFIG_HOME HOME="$work/home" XDG_RUNTIME_DIR="$work/runtime" TAPVELA_SERVICE_URL="$url" \
    setpriv --reuid=nobody --regid=nogroup --clear-groups /usr/bin/tapvela >"$work/program.out" 2>&1 &
program_pid=$!
children+=("$program_pid")
exec {program_out}<"$work/program.out"
started=0
while read -r -t 60 line <&"$program_out"; do
    if [ "$line" = "not connected" ]; then
        started=1
        break
    fi
done
[ "$started" -eq 1 ] || fail "tapvela did not say \"not connected\""
[ -d "$work/home/.config/tapvela" ] || fail "no configuration folder in the user's folder"
[ ! -e /usr/bin/config.ini ] || fail "config.ini was made in /usr/bin"
kill "$program_pid"

echo "== upgrade keeps an edited conffile"
echo "OPTIONS=--log # edited" >>/etc/default/tapvela-server
dpkg -i "$server_deb" >"$work/upgrade.log" 2>&1 || { cat "$work/upgrade.log"; fail "dpkg -i over the installed package"; }
grep -q '# edited' /etc/default/tapvela-server || fail "the upgrade lost the edit of /etc/default/tapvela-server"

echo "== purge"
# What the service leaves when it has run: its state under the dynamic user's private folder.
mkdir -p /var/lib/private/tapvela-server
touch /var/lib/private/tapvela-server/tapvela-server.db
ln -s private/tapvela-server /var/lib/tapvela-server
purge || { cat "$work/purge.log"; fail "apt-get purge"; }
our_files >"$work/after"
diff "$work/before" "$work/after" || fail "files of ours are left after the purge"
echo "all checks passed"
