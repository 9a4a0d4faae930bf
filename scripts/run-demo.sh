#!/usr/bin/env bash
# Installs the dependencies, builds the program and runs it against the local demo service.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
"$root/scripts/install-deps.sh"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)" --target proxymanager pm-demo-service
exec "$root/demo-service/run-demo.sh" "$build" "$@"
