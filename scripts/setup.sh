#!/usr/bin/env bash
# Installs the Debian packages the build, tests and benchmarks need (libclang-rt-dev: the
# libFuzzer and sanitizer runtimes of clang, only recommended by clang, so not pulled in here).
# Idempotent: installs only what is missing; uses sudo only when not root.
set -euo pipefail

packages=(
    build-essential cmake ccache pkg-config
    libgtest-dev libgmock-dev libbenchmark-dev
    nlohmann-json3-dev libcpp-httplib-dev libcli11-dev libsqlite3-dev libssl-dev openssl
    clang clang-format libclang-rt-dev
    valgrind
    chromium curl
    libmosquitto-dev mosquitto libprotobuf-c-dev protobuf-c-compiler
    help2man lintian man-db binutils gdb init-system-helpers
)

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done

# Node.js may come from Debian or be preinstalled with its own npm; only the commands matter.
if ! command -v node >/dev/null 2>&1 || ! command -v npm >/dev/null 2>&1; then
    missing+=(nodejs npm)
fi

if [ ${#missing[@]} -gt 0 ]; then
    echo "setup: installing ${missing[*]}"
    sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    export DEBIAN_FRONTEND=noninteractive
    $sudo apt-get update -qq
    $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# The console's charting library (npm: uplot), embedded into the binary at build time; and the
# Node test drivers (npm): playwright-core for the browser test, using Debian's chromium,
# an independent Prometheus text parser for the /metrics test, and the st-ethernet-ip client
# library for the interoperability check of plcsim, and an independent Sparkplug B decoder
# for the MQTT tests.
here="$(cd "$(dirname "$0")/.." && pwd)"
for dir in "$here/sdk/web/vendor" "$here"/tests/{browser,metrics,interop,mqtt}; do
    if [ -f "$dir/package.json" ] && [ ! -d "$dir/node_modules" ]; then
        echo "setup: installing the npm packages of ${dir#"$here"/}"
        (cd "$dir" && npm ci --no-audit --no-fund --silent)
    fi
done
