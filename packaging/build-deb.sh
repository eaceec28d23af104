#!/usr/bin/env bash
# Builds the Debian package of Tagbridge from a build tree with dpkg-deb.
#
#   packaging/build-deb.sh BUILD_DIR OUT_DIR      prints the path of the .deb
#   (DEB_COMPRESSION: xz by default; the tests use gzip for their large sanitizer builds;
#   DEB_MAINTAINER overrides the Maintainer below)
#
# The programs are stripped; their debug information goes into tagbridge-dbgsym beside the
# package, under /usr/lib/debug/.build-id, where gdb finds it by build ID.
#
# The dependencies are the packages that own the shared libraries the programs use.
set -euo pipefail
build="$(cd "$1" && pwd)"
out="$2"
here="$(cd "$(dirname "$0")" && pwd)"
maintainer="${DEB_MAINTAINER:-Tagbridge Maintainers <maintainers@tagbridge.dev>}"
version="$(sed -n 's/^project(tagbridge VERSION \([0-9.]*\).*/\1/p' "$here/../CMakeLists.txt")"
arch="$(dpkg --print-architecture)"
stage="$(mktemp -d)"
debug="$(mktemp -d)"
trap 'rm -rf "$stage" "$debug"' EXIT

DESTDIR="$stage" PREFIX=/usr SYSCONFDIR=/etc "$here/install.sh" "$build" >/dev/null

# Each library's owning package, from one dpkg query over the libraries' paths as linked
# and as resolved (with a merged /usr only one of them is known), e.g.
# "libssl3:amd64: /usr/lib/x86_64-linux-gnu/libssl.so.3".
libraries="$(ldd "$stage/usr/bin/tagbridge" "$stage/usr/bin/plcsim" | awk '/=> \// { print $3 }' | sort -u)"
paths="$(for lib in $libraries; do echo "$lib"; readlink -f "$lib"; done | sort -u)"
# shellcheck disable=SC2086 # one path per word
depends="$( (dpkg -S $paths 2>/dev/null || true) | cut -d: -f1 | sort -u | paste -sd, | sed 's/,/, /g')"
if [ -z "$depends" ]; then
    echo "build-deb: cannot tell which packages provide the libraries" >&2
    exit 1
fi

# Stripped as dh_strip does; the debug information is kept by build ID.
build_ids=""
for program in tagbridge plcsim; do
    binary="$stage/usr/bin/$program"
    id="$(readelf -n "$binary" | sed -n 's/^ *Build ID: //p')"
    if [ -z "$id" ]; then
        echo "build-deb: $program has no build ID" >&2
        exit 1
    fi
    file="$debug/usr/lib/debug/.build-id/${id:0:2}/${id:2}.debug"
    mkdir -p "$(dirname "$file")"
    objcopy --only-keep-debug --compress-debug-sections "$binary" "$file"
    chmod 0644 "$file"
    strip --remove-section=.comment --remove-section=.note --strip-unneeded "$binary"
    objcopy --add-gnu-debuglink="$file" "$binary"
    build_ids="${build_ids:+$build_ids }$id"
done

# The changelog of a native package: one entry for this version.
doc="$stage/usr/share/doc/tagbridge"
install -m 0644 "$here/copyright" "$doc/copyright"
date="$(date -u -R -d "@${SOURCE_DATE_EPOCH:-$(date +%s)}")"
printf 'tagbridge (%s) unstable; urgency=medium\n\n  * Tagbridge %s.\n\n -- %s  %s\n' \
    "$version" "$version" "$maintainer" "$date" | gzip -9n >"$doc/changelog.gz"
chmod 0644 "$doc/changelog.gz"

# control.in with its @FIELDS@ filled in.
control() {
    sed -e "s|@VERSION@|$version|" -e "s|@ARCH@|$arch|" -e "s|@DEPENDS@|$depends|" \
        -e "s|@MAINTAINER@|$maintainer|" -e "s|@BUILD_IDS@|$build_ids|" "$1"
}
chmod 0755 "$stage" "$debug"
mkdir -p "$stage/DEBIAN" "$debug/DEBIAN" "$debug/usr/share/doc"
control "$here/debian/control.in" >"$stage/DEBIAN/control"
control "$here/debian/control-dbgsym.in" >"$debug/DEBIAN/control"
install -m 0644 "$here/debian/conffiles" "$stage/DEBIAN/conffiles"
install -m 0755 "$here/debian/postinst" "$here/debian/prerm" "$here/debian/postrm" "$stage/DEBIAN/"
ln -s tagbridge "$debug/usr/share/doc/tagbridge-dbgsym"

mkdir -p "$out"
out="$(cd "$out" && pwd)"
deb="$out/tagbridge_${version}_${arch}.deb"
dpkg-deb --root-owner-group -Z"${DEB_COMPRESSION:-xz}" --build "$stage" "$deb" >/dev/null
dpkg-deb --root-owner-group -Z"${DEB_COMPRESSION:-xz}" --build "$debug" \
    "$out/tagbridge-dbgsym_${version}_${arch}.deb" >/dev/null
echo "$deb"
