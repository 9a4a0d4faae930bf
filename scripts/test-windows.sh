#!/usr/bin/env bash
# Tests the Windows build (scripts/build-windows.sh) under Wine on a virtual X display:
#  - the program from the zip against the Linux demo service and real tinyproxy proxies on
#    loopback, driven by keyboard; a screenshot of its main window lands in the build folder;
#  - the cross-built test executables that need no Linux process;
#  - a silent install, upgrade and uninstall of the installer.
# Prints "N passed, M failed" and exits non-zero on any failure.
# Usage: scripts/test-windows.sh
# Environment: PM_WIN_BUILD (default build-win/), PM_WINHOST_BUILD (Linux build of the demo
#              service, default build-winhost/), PM_QT_WIN_CACHE (as for build-windows.sh).
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${PM_WIN_BUILD:-$root/build-win}
host_build=${PM_WINHOST_BUILD:-$root/build-winhost}
cache=${PM_QT_WIN_CACHE:-/var/cache/proxymanager/qt6-mingw}
dist=$build/dist
screenshot=$build/wine-main-window.png

"$root/scripts/install-deps.sh" wine64 fonts-wine xdotool || exit 1
zip_file=$(ls "$dist"/ProxyManager-*-win64.zip 2>/dev/null | head -n1)
setup_file=$(ls "$dist"/ProxyManager-*-win64-setup.exe 2>/dev/null | head -n1)
if [[ -z $zip_file || -z $setup_file ]]; then
    echo "test-windows: no packages in $dist; run scripts/build-windows.sh first" >&2
    exit 1
fi

# The demo service runs natively.
if [[ ! -f $host_build/CMakeCache.txt ]]; then
    cmake -S "$root" -B "$host_build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DPM_BUILD_TESTS=OFF -DPM_BUILD_BENCHMARKS=OFF >/dev/null || exit 1
fi
cmake --build "$host_build" -j2 --target pm-demo-service >/dev/null || exit 1
service_bin=$host_build/demo-service/pm-demo-service
tinyproxy_bin=$(PATH=$PATH:/usr/sbin command -v tinyproxy) || exit 1

wine=$(command -v wine64 || echo /usr/lib/wine/wine64)
wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver)
work=$(mktemp -d /tmp/pm-wintest.XXXXXX)
export WINEPREFIX=$work/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="

passed=0
failed=0
pass() {
    passed=$((passed + 1))
    echo "PASS: $1"
}
fail() {
    failed=$((failed + 1))
    echo "FAIL: $1"
}
check() { # description command...
    local what=$1
    shift
    if "$@"; then pass "$what"; else fail "$what"; fi
}

pids=()
# shellcheck disable=SC2317 # called from the EXIT trap
cleanup() {
    local pid
    for pid in "${pids[@]}"; do
        kill "$pid" 2>/dev/null
    done
    "$wineserver" -k 2>/dev/null
    for pid in "${pids[@]}"; do
        wait "$pid" 2>/dev/null
    done
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# Polls a command every 0.2 s for at most the given number of seconds.
wait_until() { # seconds command...
    local tries=$(($1 * 5))
    shift
    for ((; tries > 0; tries--)); do
        "$@" && return 0
        sleep 0.2
    done
    return 1
}
port_open() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }
free_port() {
    local port
    for _ in {1..200}; do
        port=$((20000 + RANDOM % 40000))
        if ! port_open "$port" && [[ " ${used_ports:-} " != *" $port "* ]]; then
            used_ports="${used_ports:-} $port"
            echo "$port"
            return 0
        fi
    done
    return 1
}

# --- Loopback world: two tinyproxy proxies and the demo service -------------------------------
cat >"$work/403.html" <<'EOF'
<html><body><p>Please ensure this IP is set in your Authorized IP list: <b>{clientip}</b></p>
</body></html>
EOF
start_tinyproxy() { # name extra-config...; sets started_port
    local name=$1 conf=$work/tinyproxy-$1.conf
    shift
    started_port=$(free_port) || return 1
    printf 'Port %s\nListen 127.0.0.1\nTimeout 30\nLogLevel Warning\n' "$started_port" >"$conf"
    printf '%s\n' "$@" >>"$conf"
    "$tinyproxy_bin" -d -c "$conf" >"$work/tinyproxy-$name.log" 2>&1 &
    pids+=($!)
    wait_until 10 port_open "$started_port"
}
start_tinyproxy allowing "Allow 127.0.0.1" || { echo "tinyproxy did not start" >&2; exit 1; }
allowing_port=$started_port
start_tinyproxy refusing "Allow 192.0.2.1" "ErrorFile 403 \"$work/403.html\"" ||
    { echo "tinyproxy did not start" >&2; exit 1; }
refusing_port=$started_port
silent_port=$(free_port)
closed_port=$(free_port)

"$service_bin" --port 0 --account demo:demo-pass \
    --proxy "127.0.0.1:$allowing_port" --proxy "127.0.0.1:$refusing_port" \
    --proxy "127.0.0.1:$silent_port" --proxy "127.0.0.1:$closed_port" \
    --silent-port "$silent_port" >"$work/service.out" 2>"$work/service.log" &
pids+=($!)
service_ready() { grep -q '^PING_URL=' "$work/service.out"; }
wait_until 10 service_ready || { echo "the demo service did not start" >&2; exit 1; }

# --- Wine on a virtual display ------------------------------------------------------------------
display=
for n in {90..120}; do
    if [[ ! -e /tmp/.X11-unix/X$n && ! -e /tmp/.X$n-lock ]]; then
        display=:$n
        break
    fi
done
Xvfb "$display" -screen 0 1280x800x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
pids+=($!)
export DISPLAY=$display
wait_until 10 test -e "/tmp/.X11-unix/X${display#:}" || { echo "Xvfb did not start" >&2; exit 1; }
"$wine" wineboot -i >"$work/wineboot.log" 2>&1
"$wineserver" -w

# --- The program from the zip -------------------------------------------------------------------
unzip -q "$zip_file" -d "$work/zip"
app=$work/zip/ProxyManager
run=$work/run
mkdir -p "$run"
{
    sed -n 's/^\(API_URL\|PING_URL\)=/&/p' "$work/service.out"
    echo "TITLE_TEXT=ProxyManager under Wine"
} >"$run/config.ini"

(cd "$run" && exec "$wine" "$app/proxymanager.exe") >"$work/app.log" 2>&1 &
app_pid=$!
pids+=("$app_pid")

# Prints the id of a visible window titled "ProxyManager under Wine", the main window (wider)
# when the argument is "main".
visible_window() {
    local id width
    for id in $(xdotool search --onlyvisible --name '^ProxyManager under Wine$' 2>/dev/null); do
        width=$(xdotool getwindowgeometry --shell "$id" 2>/dev/null | sed -n 's/^WIDTH=//p')
        [[ -n $width ]] || continue
        if [[ ${1:-} != main ]] || ((width > 400)); then
            echo "$id"
            return 0
        fi
    done
    return 1
}
login_shown() { [[ -n $(visible_window) ]]; }
log_has() { grep -q -- "$1" "$run/log.txt" 2>/dev/null; }
log_count() { grep -c -- "$1" "$run/log.txt" 2>/dev/null; }

if wait_until 60 login_shown; then
    pass "login window shown"
    window=$(visible_window)
    xdotool windowfocus --sync "$window" 2>/dev/null
    sleep 0.5
    xdotool type --delay 40 demo
    xdotool key Tab
    xdotool type --delay 40 demo-pass
    xdotool key Return
else
    fail "login window shown"
fi

if wait_until 30 log_has 'Your IP address: 127.0.0.1'; then
    pass "logged in: log.txt gives the IP address"
    # Tab cannot leave the proxy table, so the button is clicked: it is the third in the
    # column at the window's right edge. Style metrics vary, hence a few heights; the other
    # buttons there do no harm.
    main_shown() { visible_window main >/dev/null; }
    wait_until 10 main_shown
    window=$(visible_window main)
    width=$(xdotool getwindowgeometry --shell "$window" | sed -n 's/^WIDTH=//p')
    for y in 90 84 96 78 102 72 108; do
        xdotool mousemove --window "$window" $((width - 60)) "$y" click 1
        wait_until 2 log_has 'Testing proxy' && break
    done
else
    fail "logged in: log.txt gives the IP address"
fi
first_line_is_date() {
    head -n1 "$run/log.txt" 2>/dev/null |
        grep -qE $'^[A-Z][a-z]{2} [A-Z][a-z]{2} +[0-9]+ [0-9:]{8} [0-9]{4}\r?$'
}
check "log.txt starts with a date line" first_line_is_date

tests_done() { log_has 'success!' && log_has 'IP not authorized' && log_has 'timeout'; }
wait_until 40 tests_done
check "one proxy tests successful" test "$(log_count 'success!')" = 1
check "one proxy refuses: IP not authorized" test "$(log_count 'IP not authorized')" = 1
check "one proxy times out" test "$(log_count 'timeout')" = 1

sleep 1
window=$(visible_window main)
import -display "$display" -window "${window:-root}" "$screenshot" 2>/dev/null
check "screenshot of the main window taken" test -s "$screenshot"

window=$(visible_window main)
[[ -n $window ]] && xdotool windowfocus --sync "$window" 2>/dev/null
xdotool key ctrl+q
app_ended() { ! kill -0 "$app_pid" 2>/dev/null; }
check "Ctrl+Q ends the program" wait_until 20 app_ended

# --- The command-line client from the zip, with the program's config.ini --------------------------
cli_out=$work/cli.txt
(cd "$run" && PROXYMANAGER_USER=demo PROXYMANAGER_PASSWORD=demo-pass timeout 120 \
    "$wine" "$app/proxymanager-cli.exe" test --working --parallel 4 --timeout 3000) \
    >"$cli_out" 2>"$work/cli.log"
cli_status=$?
check "proxymanager-cli test --working prints the working proxy alone" \
    test "$cli_status:$(tr -d '\r' <"$cli_out")" = "0:127.0.0.1:$allowing_port"

# --- Cross-built tests --------------------------------------------------------------------------
# Wine keeps QT_* variables of the Unix environment from Windows programs: cmd sets them.
to_windows() { echo "Z:${1//\//\\}"; }
# The program's DLLs from the zip, Qt Test from the Qt build.
WINEPATH="$(to_windows "$app");$(to_windows "$cache/bin")"
export WINEPATH
for test_exe in "$build"/tests/tst_*.exe; do
    [[ -e $test_exe ]] || continue
    name=$(basename "$test_exe" .exe)
    # The tray test needs a system tray on an X display of its own (run-with-tray.sh).
    [[ $name == tst_tray ]] && continue
    report=$work/$name.txt
    (cd "$work" && timeout 300 "$wine" cmd /c "set QT_QPA_PLATFORM=offscreen&& \
set QT_PLUGIN_PATH=$(to_windows "$cache/plugins")&& \
$(to_windows "$test_exe") -o $(to_windows "$report"),txt") >/dev/null 2>&1
    status=$?
    totals=$(grep -o '^Totals: [0-9]* passed, [0-9]* failed, [0-9]* skipped' "$report" 2>/dev/null)
    if [[ $status -eq 0 && -n $totals ]]; then
        pass "$name under Wine (${totals#Totals: })"
        grep '^SKIP' "$report" | sed 's/^/    /'
    else
        fail "$name under Wine (exit status $status)"
        grep -E '^(FAIL|XPASS)|Loc:|^Totals' "$report" 2>/dev/null | head -20
    fi
done

# --- Installer ----------------------------------------------------------------------------------
user_dir=
for dir in "$WINEPREFIX"/drive_c/users/*/AppData; do
    [[ $dir == */Public/* ]] || user_dir=$dir
done
install_dir=$user_dir/Local/Programs/ProxyManager
data_dir=$user_dir/Roaming/ProxyManager
shortcut=$user_dir/Roaming/Microsoft/Windows/Start\ Menu/Programs/ProxyManager.lnk

timeout 120 "$wine" "$setup_file" /S
"$wineserver" -w
check "installer puts the program in the user's programs folder" \
    test -f "$install_dir/proxymanager.exe" -a -f "$install_dir/platforms/qwindows.dll"
check "installer puts the example config.ini in the data folder" test -f "$data_dir/config.ini"
uninstall_key='HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\ProxyManager'
registered() { "$wine" reg query "$uninstall_key" >/dev/null 2>&1; }
check "installer registers the uninstaller for the user" registered
check "Start-menu entry starts in the data folder" \
    grep -q 'Roaming\\ProxyManager' <(strings -el "$shortcut" 2>/dev/null)

echo "API_URL=http://127.0.0.1:1/api" >"$data_dir/config.ini"
echo "user's log" >"$data_dir/log.txt"
timeout 120 "$wine" "$setup_file" /S
"$wineserver" -w
check "reinstalling keeps the user's config.ini" \
    grep -q '127.0.0.1:1/' "$data_dir/config.ini"

timeout 120 "$wine" "$install_dir/uninstall.exe" /S
"$wineserver" -w
# The uninstaller runs from a copy that may outlive the wait above by a moment.
program_gone() { [[ ! -e $install_dir ]]; }
check "uninstaller removes the program" wait_until 20 program_gone
check "uninstaller removes the Start-menu entry" test ! -e "$shortcut"
check "uninstaller removes its registration" eval '! registered'
check "uninstaller keeps the user's config.ini and log.txt" \
    test -f "$data_dir/config.ini" -a -f "$data_dir/log.txt"

echo "Screenshot: $screenshot"
echo "$passed passed, $failed failed"
[[ $failed -eq 0 ]]
