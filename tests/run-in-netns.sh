#!/usr/bin/env bash
# Runs a test program in a network namespace of its own with only loopback up, so that it may
# add interfaces and addresses without touching the machine's. Where no namespace may be made,
# exits with 77, which CTest counts as skipped.
# Usage: run-in-netns.sh PROGRAM [ARGS...]
set -uo pipefail
if [ "${1-}" = --inside ]; then
    shift
    ip link set lo up || exit 77
    PM_IN_NETNS=1 exec "$@"
fi
if ! command -v ip >/dev/null || ! command -v unshare >/dev/null; then
    echo "skipped: needs ip (iproute2) and unshare (util-linux)" >&2
    exit 77
fi
# As root a namespace needs nothing more; otherwise a user namespace maps this user to root.
for flags in -n -rn; do
    if unshare "$flags" true 2>/dev/null; then
        exec unshare "$flags" "$0" --inside "$@"
    fi
done
echo "skipped: unshare -n is refused here (no root, no unprivileged user namespaces)" >&2
exit 77
