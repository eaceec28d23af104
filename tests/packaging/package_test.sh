#!/usr/bin/env bash
# Installs Tagbridge into a scratch tree with packaging/install.sh (what `make install`
# runs) and builds, unpacks and checks the Debian package (what `make deb` runs): files,
# control fields, maintainer scripts against stand-in commands, the unit file through
# `systemd-analyze verify` when that exists, and the packaged program starting from the
# packaged configuration. Never touches the machine's own services or /etc.
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
         opt/tb/share/doc/tagbridge/README.md; do
    expect_file "$inst/$f"
done
grep -q '^ExecStart=/opt/tb/bin/tagbridge ' "$inst/opt/tb/lib/systemd/system/tagbridge.service" ||
    fail "ExecStart does not name the installed program"
echo '{"listen": "127.0.0.1:9"}' >"$inst/etc/tagbridge/config.json"
DESTDIR="$inst" PREFIX=/opt/tb "$root/packaging/install.sh" "$build" >/dev/null
grep -q '127.0.0.1:9' "$inst/etc/tagbridge/config.json" || fail "install replaced an edited configuration"

echo "== build and unpack the Debian package"
deb="$(DEB_COMPRESSION=none "$root/packaging/build-deb.sh" "$build" "$work/out")"
expect_file "$deb"
tree="$work/tree"
dpkg-deb -x "$deb" "$tree"
dpkg-deb -e "$deb" "$tree/DEBIAN"
for field in Package Version Architecture Depends Description; do
    grep -q "^$field: ." "$tree/DEBIAN/control" || fail "control has no $field"
done
grep -q '^Depends:.*libsqlite3' "$tree/DEBIAN/control" || fail "Depends lacks the SQLite library"
grep -qx '/etc/tagbridge/config.json' "$tree/DEBIAN/conffiles" || fail "config is not a conffile"
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
for command in adduser systemctl; do
    printf '#!/bin/sh\necho "%s $*" >>"%s/calls"\n' "$command" "$work" >"$stubs/$command"
done
printf '#!/bin/sh\nexit 2\n' >"$stubs/getent"  # no such user yet
chmod 755 "$stubs"/*
for script in postinst prerm postrm; do
    sh -n "$tree/DEBIAN/$script" || fail "$script is not valid sh"
done
PATH="$stubs:$PATH" sh "$tree/DEBIAN/postinst" configure || fail "postinst failed"
grep -q '^adduser --system --group .* tagbridge$' "$work/calls" || fail "postinst made no system user"
if [ -d /run/systemd/system ]; then
    grep -q '^systemctl enable tagbridge.service' "$work/calls" || fail "postinst did not enable"
fi

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
