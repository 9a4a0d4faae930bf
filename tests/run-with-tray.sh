#!/usr/bin/env bash
# Runs a test program on a virtual X display of its own that has a real system tray.
# Usage: run-with-tray.sh PROGRAM [ARGS...]
set -uo pipefail
dir=$(mktemp -d)
pids=()
cleanup() {
    # The tray first, so it does not complain about losing its display.
    for ((i = ${#pids[@]} - 1; i >= 0; i--)); do kill "${pids[i]}" 2>/dev/null; done
    wait 2>/dev/null
    rm -rf "$dir"
}
trap cleanup EXIT

# The server picks a free display itself and writes its number once it accepts clients, so
# neither a slow start nor a parallel run can hand the test a display that is not there.
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$dir/display" 2>"$dir/xvfb.log" &
pids+=($!)
for _ in $(seq 600); do
    [ -s "$dir/display" ] && break
    sleep 0.1
done
if [ ! -s "$dir/display" ]; then
    echo "Xvfb did not start: $(cat "$dir/xvfb.log")" >&2
    exit 1
fi
export DISPLAY=":$(head -n 1 "$dir/display")"

# Under load trayer may fail or be slow to map its panel: a few tries, each bounded.
for _ in 1 2 3; do
    trayer --edge top --align right --widthtype pixel --width 120 --heighttype pixel --height 24 &
    tray=$!
    for _ in $(seq 300); do
        xwininfo -name panel >/dev/null 2>&1 && break 2
        kill -0 "$tray" 2>/dev/null || break
        sleep 0.1
    done
    kill "$tray" 2>/dev/null
    wait "$tray" 2>/dev/null
done
pids+=("$tray")

PM_EXPECT_TRAY=1 QT_QPA_PLATFORM=xcb "$@"
status=$?
exit $status
