#!/usr/bin/env bash
# Installs Tagbridge into a scratch tree with packaging/install.sh (what `make install`
# runs) and builds, unpacks and checks the Debian package (what `make deb` runs): files,
# control fields, maintainer scripts against stand-in commands, the unit file through
# `systemd-analyze verify` when that exists, and the packaged program starting from the
# packaged configuration. Never touches the machine's own services or /etc.
#
# Both packages must pass lintian without an error or a warning.
#
#   package_test.sh BUILD_DIR
set -euo pipefail
build="$1"
root="$(cd "$(dirname "$0")/../.." && pwd)"
work="$(mktemp -d)"
child=""
cleanup() {
    [ -n "$child" ] && kill -KILL "$child" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
expect_file() { [ -e "$1" ] || fail "missing $1"; }

echo "== install into a scratch DESTDIR"
inst="$work/inst"
DESTDIR="$inst" PREFIX=/opt/tb SYSCONFDIR=/etc "$root/packaging/install.sh" "$build" >/dev/null
for f in opt/tb/bin/tagbridge opt/tb/bin/plcsim opt/tb/lib/systemd/system/tagbridge.service \
         opt/tb/lib/sysusers.d/tagbridge.conf etc/tagbridge/config.json etc/logrotate.d/tagbridge \
         opt/tb/share/doc/tagbridge/README.md opt/tb/share/man/man1/tagbridge.1.gz \
         opt/tb/share/man/man1/plcsim.1.gz; do
    expect_file "$inst/$f"
done
for page in tagbridge plcsim; do
    text="$(MANWIDTH=80 man -l "$inst/opt/tb/share/man/man1/$page.1.gz" 2>/dev/null)" ||
        fail "man -l $page.1 failed"
    for section in NAME SYNOPSIS OPTIONS FILES SIGNALS; do
        grep -q "^$section" <<<"$text" || fail "$page(1) has no $section section"
    done
done
grep -q '^ExecStart=/opt/tb/bin/tagbridge ' "$inst/opt/tb/lib/systemd/system/tagbridge.service" ||
    fail "ExecStart does not name the installed program"
echo '{"listen": "127.0.0.1:9"}' >"$inst/etc/tagbridge/config.json"
DESTDIR="$inst" PREFIX=/opt/tb "$root/packaging/install.sh" "$build" >/dev/null
grep -q '127.0.0.1:9' "$inst/etc/tagbridge/config.json" || fail "install replaced an edited configuration"

echo "== build and unpack the Debian package"
deb="$(DEB_COMPRESSION=gzip "$root/packaging/build-deb.sh" "$build" "$work/out")"
dbgsym="$(dirname "$deb")/$(basename "$deb" | sed 's/^tagbridge_/tagbridge-dbgsym_/')"
expect_file "$deb"
expect_file "$dbgsym"
tree="$work/tree"
dpkg-deb -x "$deb" "$tree"
dpkg-deb -x "$dbgsym" "$tree"
dpkg-deb -e "$deb" "$tree/DEBIAN"
for field in Package Version Architecture Depends Description; do
    grep -q "^$field: ." "$tree/DEBIAN/control" || fail "control has no $field"
done
grep -q '^Depends:.*libsqlite3' "$tree/DEBIAN/control" || fail "Depends lacks the SQLite library"
grep -qx '/etc/tagbridge/config.json' "$tree/DEBIAN/conffiles" || fail "config is not a conffile"
grep -q '^Maintainer: [^<]* <[^@]*@[a-z0-9-]*\.[a-z.]*>$' "$tree/DEBIAN/control" ||
    fail "Maintainer is not a name and an address"
grep -q '^Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' \
    "$tree/usr/share/doc/tagbridge/copyright" || fail "copyright is not machine-readable"
zcat "$tree/usr/share/doc/tagbridge/changelog.gz" | head -n1 |
    grep -q "^tagbridge ($(sed -n 's/^Version: //p' "$tree/DEBIAN/control"))" ||
    fail "changelog does not name this version"

echo "== stripped programs, debug information by build ID"
for program in tagbridge plcsim; do
    readelf -S "$tree/usr/bin/$program" | grep -q '\.debug_info' && fail "$program is not stripped"
done
if command -v gdb >/dev/null; then
    where="$(gdb -batch -iex "set debug-file-directory $tree/usr/lib/debug" \
        -ex 'info line main' "$tree/usr/bin/tagbridge" 2>&1)"
    grep -q 'main\.cpp' <<<"$where" || fail "gdb finds no source line of main: $where"
fi

if command -v lintian >/dev/null; then
    echo "== lintian"
    findings="$(lintian "$deb" "$dbgsym" 2>&1 | grep -E '^[EW]: ' || true)"
    [ -z "$findings" ] || fail "lintian: $findings"
else
    fail "lintian is not installed (make setup installs it)"
fi
unit="$tree/usr/lib/systemd/system/tagbridge.service"
expect_file "$unit"
for line in 'User=tagbridge' 'StateDirectory=tagbridge' 'Restart=on-failure' 'NoNewPrivileges=yes' \
            'ProtectSystem=strict' 'ExecStart=/usr/bin/tagbridge --config /etc/tagbridge/config.json'; do
    grep -qx "$line" "$unit" || fail "unit lacks $line"
done
listing="$(dpkg-deb -c "$deb")"
grep -q ' root/root .* ./usr/bin/tagbridge$' <<<"$listing" || fail "files are not owned by root"

echo "== maintainer scripts against stand-in commands"
stubs="$work/stubs"
mkdir -p "$stubs"
for command in adduser systemctl deb-systemd-helper deb-systemd-invoke; do
    printf '#!/bin/sh\necho "%s $*" >>"%s/calls"\n' "$command" "$work" >"$stubs/$command"
done
printf '#!/bin/sh\nexit 2\n' >"$stubs/getent"  # no such user yet
chmod 755 "$stubs"/*
for script in postinst prerm postrm; do
    sh -n "$tree/DEBIAN/$script" || fail "$script is not valid sh"
done
PATH="$stubs:$PATH" sh "$tree/DEBIAN/postinst" configure || fail "postinst failed"
grep -q '^adduser --system --group .* tagbridge$' "$work/calls" || fail "postinst made no system user"
# Enabling goes through deb-systemd-helper whether or not systemd runs; starting only where it
# runs, through deb-systemd-invoke. systemctl itself is only ever asked to reload.
grep -q '^deb-systemd-helper enable tagbridge.service' "$work/calls" || fail "postinst did not enable"
if [ -d /run/systemd/system ]; then
    grep -q '^deb-systemd-invoke start tagbridge.service' "$work/calls" || fail "postinst did not start"
else
    grep -q '^deb-systemd-invoke' "$work/calls" && fail "postinst started a service without systemd"
fi
PATH="$stubs:$PATH" sh "$tree/DEBIAN/prerm" remove || fail "prerm failed"
PATH="$stubs:$PATH" sh "$tree/DEBIAN/postrm" remove || fail "postrm failed"
grep -q '^deb-systemd-helper mask tagbridge.service' "$work/calls" || fail "postrm did not mask"
grep -v '^systemctl --system daemon-reload$' "$work/calls" | grep -q '^systemctl' &&
    fail "a maintainer script calls systemctl for more than a reload"

if command -v systemd-analyze >/dev/null; then
    echo "== systemd-analyze verify"
    # verify checks that ExecStart exists: point it at the unpacked program.
    mkdir -p "$work/units"
    sed "s|/usr/bin/tagbridge|$tree/usr/bin/tagbridge|" "$unit" >"$work/units/tagbridge.service"
    report="$(systemd-analyze verify "$work/units/tagbridge.service" 2>&1)" ||
        fail "systemd-analyze verify: $report"
    # Unknown or misspelt settings are only warnings there; they count as failures here.
    [ -z "$report" ] || fail "systemd-analyze verify: $report"
else
    echo "== systemd-analyze not installed: unit file check skipped"
fi

echo "== the packaged program starts from the packaged configuration"
log="$work/tagbridge.log"
"$tree/usr/bin/tagbridge" --config "$tree/etc/tagbridge/config.json" --data-dir "$work/data" \
    --listen 127.0.0.1:0 --log-file "$log" >"$work/stdout" 2>&1 &
child=$!
for _ in $(seq 1 600); do
    grep -q 'EIP link connected!' "$log" 2>/dev/null && break
    kill -0 "$child" 2>/dev/null || fail "tagbridge ended: $(cat "$work/stdout" "$log" 2>/dev/null)"
    sleep 0.1
done
grep -q 'EIP link connected!' "$log" || fail "tagbridge did not start: $(cat "$log")"
kill -INT "$child"
status=0
wait "$child" || status=$?
child=""
[ "$status" -eq 0 ] || fail "tagbridge ended with status $status"
echo "PASS"
