#!/usr/bin/env bash
# Builds the Debian packages and prints their paths: proxymanager (program, demo service, menu
# entry, icons) and proxymanager-cli (command-line client, man page, systemd unit).
# Usage: scripts/build-deb.sh [build-dir]   (default: build-pkg)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build-pkg}
"$root/scripts/install-deps.sh"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
    -DPM_BUILD_TESTS=OFF -DPM_BUILD_BENCHMARKS=OFF >/dev/null
cmake --build "$build" -j"$(nproc)"
# A stale package from an older version must not be mistaken for this one.
rm -f "$build"/proxymanager_*.deb "$build"/proxymanager-cli_*.deb
(cd "$build" && cpack -G DEB >/dev/null)
ls "$build"/proxymanager_*.deb "$build"/proxymanager-cli_*.deb
