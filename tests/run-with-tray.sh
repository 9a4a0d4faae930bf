#!/usr/bin/env bash
# Runs a test program on a virtual X display that has a real system tray.
set -euo pipefail
exec xvfb-run -a -s "-screen 0 1024x768x24" bash -c '
    trayer --edge top --align right --widthtype pixel --width 120 --heighttype pixel --height 24 &
    tray=$!
    trap "kill $tray 2>/dev/null" EXIT
    for _ in $(seq 50); do xwininfo -name panel >/dev/null 2>&1 && break; sleep 0.1; done
    PM_EXPECT_TRAY=1 QT_QPA_PLATFORM=xcb "$@"' bash "$@"
