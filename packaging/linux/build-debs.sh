#!/usr/bin/env bash
# Builds the Debian packages tapvela and tapvela-server from the built programs, the way debhelper would
# (stripped binaries, compressed man pages and changelogs, dependencies from dpkg-shlibdeps, md5sums, files
# owned by root), without a debian/ source tree. Called by the CMake target release_linux:
#   build-debs.sh OUT_DIR WORK_DIR VERSION RELEASE_DATE MAINTAINER HOMEPAGE TAPVELA TAPVELA_SERVER METAINFO
set -euo pipefail

if [ $# -ne 9 ]; then
    echo "usage: $0 OUT_DIR WORK_DIR VERSION RELEASE_DATE MAINTAINER HOMEPAGE TAPVELA TAPVELA_SERVER METAINFO" >&2
    exit 2
fi
out=$1 work=$2 version=$3 release_date=$4 maintainer=$5 homepage=$6 tapvela=$7 server=$8 metainfo=$9
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
top=$(cd "$here/../.." && pwd)
resources=$top/src/resources
arch=$(dpkg --print-architecture)
# The changelog's date is the release's, so that two builds of one release give the same files.
changelog_date=$(LC_ALL=C date -u -R -d "$release_date 12:00")

rm -rf "$work"
# Staged as debhelper does, in debian/<package>, where dpkg-shlibdeps expects them.
mkdir -p "$work/debian" "$out"

# install_file MODE SOURCE DESTINATION
install_file() {
    install -D -m "$1" "$2" "$3"
}

install_binary() {
    install -D -m 755 "$1" "$2"
    strip --remove-section=.comment --remove-section=.note --strip-unneeded "$2"
}

install_man_page() {
    local page=$1 stage=$2
    mkdir -p "$stage/usr/share/man/man1"
    sed "s/@VERSION@/$version/" "$here/$page" | gzip -9n >"$stage/usr/share/man/man1/$page.gz"
}

install_docs() {
    local package=$1 stage=$2 doc="$2/usr/share/doc/$1"
    mkdir -p "$doc"
    # The package's licence and what it compiles in (PT Sans, or Boost and nlohmann-json), and the notices of
    # every library the release files use, compressed as debhelper compresses documents.
    cp "$here/$package.copyright" "$doc/copyright"
    gzip -9n <"$top/THIRD-PARTY-NOTICES" >"$doc/THIRD-PARTY-NOTICES.gz"
    sed -e "s/@PACKAGE@/$package/" -e "s/@VERSION@/$version/" -e "s/@MAINTAINER@/$maintainer/" \
        -e "s/@DATE@/$changelog_date/" "$here/changelog.in" | gzip -9n >"$doc/changelog.gz"
    chmod 644 "$doc/copyright" "$doc/THIRD-PARTY-NOTICES.gz" "$doc/changelog.gz"
    # Lintian's remarks that stay, each with its reason.
    install_file 644 "$here/$package.lintian-overrides" "$stage/usr/share/lintian/overrides/$package"
}

# The libraries' packages that a package's program needs, as dpkg-shlibdeps finds them; it wants a
# debian/control, and the package's DEBIAN folder to know where the package's root is.
shared_library_depends() {
    local package=$1
    mkdir -p "$work/debian/$package/DEBIAN"
    printf 'Source: tapvela\n\nPackage: tapvela\nArchitecture: any\n' >"$work/debian/control"
    (cd "$work" && dpkg-shlibdeps -O "debian/$package/usr/bin/$package") | sed -n 's/^shlibs:Depends=//p'
}

# build_package PACKAGE STAGE DEPENDS SECTION DESCRIPTION
build_package() {
    local package=$1 stage=$2 depends=$3 section=$4 description=$5
    local size
    size=$(du -sk --apparent-size --exclude=DEBIAN "$stage" | cut -f1)
    mkdir -p "$stage/DEBIAN"
    {
        echo "Package: $package"
        echo "Version: $version"
        echo "Architecture: $arch"
        echo "Maintainer: $maintainer"
        echo "Installed-Size: $size"
        echo "Depends: $depends"
        [ "$package" = tapvela ] && echo "Suggests: tapvela-server"
        echo "Section: $section"
        echo "Priority: optional"
        echo "Homepage: $homepage"
        echo "Description: $description"
    } >"$stage/DEBIAN/control"
    (cd "$stage" && find . -path ./DEBIAN -prune -o -type f -printf '%P\0' | LC_ALL=C sort -z |
        xargs -0 md5sum) >"$stage/DEBIAN/md5sums"
    find "$stage" -type d -exec chmod 755 {} +
    chmod 644 "$stage/DEBIAN/control" "$stage/DEBIAN/md5sums"
    dpkg-deb --root-owner-group -Zxz --build "$stage" "$out/${package}_${version}_${arch}.deb" >/dev/null
    echo "built $out/${package}_${version}_${arch}.deb"
}

# tapvela: the program, its menu entry, icon, software-centre description and man page.
stage="$work/debian/tapvela"
install_binary "$tapvela" "$stage/usr/bin/tapvela"
install_file 644 "$here/tapvela.desktop" "$stage/usr/share/applications/tapvela.desktop"
# The program's icon is one 256x256 PNG inside an .ico (a 6-byte header and one 16-byte entry): the PNG itself
# goes to the icon theme.
icon="$stage/usr/share/icons/hicolor/256x256/apps/tapvela.png"
mkdir -p "$(dirname "$icon")"
tail -c +23 "$resources/icons/tapvela_Icone_256x256.ico" >"$icon"
if [ "$(head -c 8 "$icon" | od -An -tx1 | tr -d ' \n')" != 89504e470d0a1a0a ]; then
    echo "$0: tapvela_Icone_256x256.ico no longer holds one PNG image" >&2
    exit 1
fi
chmod 644 "$icon"
install_file 644 "$metainfo" "$stage/usr/share/metainfo/$(basename "$metainfo")"
install_man_page tapvela.1 "$stage"
install_docs tapvela "$stage"
build_package tapvela "$stage" "$(shared_library_depends tapvela)" utils \
    "push the selected phone number to your phone with a hotkey
 Select a telephone number in any application and press a hotkey: tapvela
 pushes it to your phone, where it arrives as a message and a link that
 calls it. It signs in once to the push service, lives in the system tray,
 lists the account's devices, lets the user choose the hotkey and can start
 at login.
 .
 The hotkey is watched through X11 (in a Wayland session: in XWayland
 applications only). The push service is in the package tapvela-server."

# tapvela-server: the service, its systemd unit, its options (a conffile) and man page.
stage="$work/debian/tapvela-server"
install_binary "$server" "$stage/usr/bin/tapvela-server"
install_file 644 "$here/tapvela-server.service" "$stage/lib/systemd/system/tapvela-server.service"
install_file 644 "$here/tapvela-server.default" "$stage/etc/default/tapvela-server"
install_man_page tapvela-server.1 "$stage"
install_docs tapvela-server "$stage"
mkdir -p "$stage/DEBIAN"
for script in postinst prerm postrm; do
    install -m 755 "$here/tapvela-server.$script" "$stage/DEBIAN/$script"
done
echo /etc/default/tapvela-server >"$stage/DEBIAN/conffiles"
chmod 644 "$stage/DEBIAN/conffiles"
build_package tapvela-server "$stage" "$(shared_library_depends tapvela-server)" net \
    "push service for tapvela, with a live page for each phone
 The service that tapvela sends its pushes to. It keeps accounts, devices
 and pushes in an SQLite database and serves each device a page that shows
 its pushes live, with a link that calls the number.
 .
 The package runs it as the systemd service tapvela-server.service, under a
 dynamic user and in a sandbox, with its options in
 /etc/default/tapvela-server."
