#!/usr/bin/env bash
# Installs Tagbridge from a build tree: the programs, the systemd unit, the service
# user (sysusers.d), an example configuration, log rotation and the README.
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
echo "install: Tagbridge installed under $dest$prefix (configuration in $dest$etc/tagbridge)"
