#!/usr/bin/env bash
# Installs the Debian packages the build, tests and benchmarks need.
# Idempotent: installs only what is missing; uses sudo only when not root.
set -euo pipefail

packages=(
    build-essential cmake ccache pkg-config
    libgtest-dev libgmock-dev libbenchmark-dev
    nlohmann-json3-dev libcpp-httplib-dev libcli11-dev libsqlite3-dev
    clang clang-format
    valgrind
    chromium curl
    libmosquitto-dev mosquitto libprotobuf-c-dev protobuf-c-compiler
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

here="$(cd "$(dirname "$0")/.." && pwd)"

# Independent Sparkplug B decoder for the MQTT tests (npm).
if [ -f "$here/tests/mqtt/package.json" ] && [ ! -d "$here/tests/mqtt/node_modules/sparkplug-payload" ]; then
    echo "setup: installing the Sparkplug B test decoder (npm)"
    (cd "$here/tests/mqtt" && npm install --no-audit --no-fund --silent)
fi

# Browser test driver: playwright-core from npm, using Debian's chromium.
if [ -f "$here/tests/browser/package.json" ] && [ ! -d "$here/tests/browser/node_modules/playwright-core" ]; then
    echo "setup: installing the browser test driver (npm)"
    (cd "$here/tests/browser" && npm install --no-audit --no-fund --silent)
fi
