#!/usr/bin/env bash
# Runs a test program with a Secret Service of its own: a private D-Bus session bus and an
# unlocked gnome-keyring, in a temporary home, so nothing touches the user's keyring.
# Usage: run-with-keyring.sh PROGRAM [ARGS...]
set -uo pipefail
home=$(mktemp -d)
trap 'rm -rf "$home"' EXIT
export HOME=$home XDG_DATA_HOME=$home/.local/share XDG_CONFIG_HOME=$home/.config
export XDG_CACHE_HOME=$home/.cache XDG_RUNTIME_DIR=$home/run
mkdir -p "$XDG_DATA_HOME" "$XDG_CONFIG_HOME" "$XDG_CACHE_HOME" "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"
# The test looks for the password in the files under this folder.
export PM_TEST_HOME=$home

# In the foreground, so that it can be stopped by its id: the daemon outlives its bus.
dbus-run-session -- bash -c '
    printf "test-unlock" | gnome-keyring-daemon --foreground --unlock --components=secrets >"$HOME/keyring.env" &
    daemon=$!
    trap "kill $daemon 2>/dev/null; wait $daemon 2>/dev/null" EXIT
    for _ in $(seq 100); do
        dbus-send --session --print-reply --dest=org.freedesktop.DBus / \
            org.freedesktop.DBus.NameHasOwner string:org.freedesktop.secrets 2>/dev/null |
            grep -q "boolean true" && break
        kill -0 $daemon 2>/dev/null || break
        sleep 0.1
    done
    if ! kill -0 $daemon 2>/dev/null; then echo "gnome-keyring-daemon did not start" >&2; exit 1; fi
    # It names its control socket, where it prints one.
    eval "$(sed -n "s/^\(GNOME_KEYRING_CONTROL=.*\)/export \1/p" "$HOME/keyring.env")"
    "$@"' run-with-keyring "$@" 2> >(grep -v "Failed to set fd limit" >&2)
