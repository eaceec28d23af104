#!/usr/bin/env bash
# Builds the Debian package of Tagbridge from a build tree with dpkg-deb.
#
#   packaging/build-deb.sh BUILD_DIR OUT_DIR      prints the path of the .deb
#   (DEB_COMPRESSION: xz by default; the tests use none for their large sanitizer builds)
#
# The dependencies are the packages that own the shared libraries the programs use.
set -euo pipefail
build="$(cd "$1" && pwd)"
out="$2"
here="$(cd "$(dirname "$0")" && pwd)"
version="$(sed -n 's/^project(tagbridge VERSION \([0-9.]*\).*/\1/p' "$here/../CMakeLists.txt")"
arch="$(dpkg --print-architecture)"
stage="$(mktemp -d)"
trap 'rm -rf "$stage"' EXIT

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

chmod 0755 "$stage"
mkdir -p "$stage/DEBIAN"
sed -e "s|@VERSION@|$version|" -e "s|@ARCH@|$arch|" -e "s|@DEPENDS@|$depends|" \
    "$here/debian/control.in" >"$stage/DEBIAN/control"
install -m 0644 "$here/debian/conffiles" "$stage/DEBIAN/conffiles"
install -m 0755 "$here/debian/postinst" "$here/debian/prerm" "$here/debian/postrm" "$stage/DEBIAN/"

mkdir -p "$out"
deb="$(cd "$out" && pwd)/tagbridge_${version}_${arch}.deb"
dpkg-deb --root-owner-group -Z"${DEB_COMPRESSION:-xz}" --build "$stage" "$deb" >/dev/null
echo "$deb"
