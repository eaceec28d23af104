#!/usr/bin/env bash
# Installs Tagbridge from a build tree: the programs, the systemd unit, the service
# user (sysusers.d), an example configuration, log rotation, the README and the man pages.
#
#   packaging/install.sh BUILD_DIR     environment: DESTDIR, PREFIX (/usr/local), SYSCONFDIR (/etc)
#
# An existing configuration is kept. Nothing is started: see the README.
set -euo pipefail
build="$1"
prefix="${PREFIX:-/usr/local}"
etc="${SYSCONFDIR:-/etc}"
dest="${DESTDIR:-}"
here="$(cd "$(dirname "$0")" && pwd)"

for program in tagbridge sim/plcsim; do
    if [ ! -x "$build/$program" ]; then
        echo "install: $build/$program is not built (run make build first)" >&2
        exit 1
    fi
done
install -D -m 0755 "$build/tagbridge" "$dest$prefix/bin/tagbridge"
install -D -m 0755 "$build/sim/plcsim" "$dest$prefix/bin/plcsim"
mkdir -p "$dest$prefix/lib/systemd/system"
sed "s|@PREFIX@|$prefix|g" "$here/tagbridge.service" >"$dest$prefix/lib/systemd/system/tagbridge.service"
chmod 0644 "$dest$prefix/lib/systemd/system/tagbridge.service"
install -D -m 0644 "$here/tagbridge.sysusers" "$dest$prefix/lib/sysusers.d/tagbridge.conf"
install -D -m 0644 "$here/tagbridge.logrotate" "$dest$etc/logrotate.d/tagbridge"
if [ ! -e "$dest$etc/tagbridge/config.json" ]; then
    install -D -m 0644 "$here/config.json" "$dest$etc/tagbridge/config.json"
fi
install -D -m 0644 "$here/../README.md" "$dest$prefix/share/doc/tagbridge/README.md"
# The man pages the build made from each program's --help (packaging/man.cmake).
for program in tagbridge plcsim; do
    page="$build/man/$program.1"
    if [ ! -f "$page" ]; then
        echo "install: $page is not built (help2man missing? run make setup)" >&2
        exit 1
    fi
    mkdir -p "$dest$prefix/share/man/man1"
    gzip -9n <"$page" >"$dest$prefix/share/man/man1/$program.1.gz"
    chmod 0644 "$dest$prefix/share/man/man1/$program.1.gz"
done
echo "install: Tagbridge installed under $dest$prefix (configuration in $dest$etc/tagbridge)"
