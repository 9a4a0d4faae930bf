#!/usr/bin/env bash
# Runs the client against a local demo of the proxy service: the service itself, a proxy that
# forwards, one that refuses with a 403 page, one that never answers, one that answers with
# the wrong page and a port nobody listens on. Everything started here is stopped on exit.
# Requests the service receives are logged to demo-run/service.log.
# Usage: demo-service/run-demo.sh [build-dir | --installed] [client arguments...]   (from the
# repo root). --installed, or a build directory without the binaries, runs the ones on PATH.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-build}
shift || true
if [[ $build != --installed && -x $build/demo-service/pm-demo-service &&
      -x $build/app/proxymanager ]]; then
    build=$(cd "$build" && pwd)
    service_bin=$build/demo-service/pm-demo-service
    client_bin=$build/app/proxymanager
else
    # The installed package (scripts/build-deb.sh).
    service_bin=$(command -v pm-demo-service || true)
    client_bin=$(command -v proxymanager || true)
    if [[ -z $service_bin || -z $client_bin ]]; then
        if [[ $build == --installed ]]; then
            echo "run-demo: proxymanager or pm-demo-service is not on PATH" >&2
        else
            echo "run-demo: no binaries in '$build'; build the project first" >&2
        fi
        exit 1
    fi
    if [[ $build != --installed ]]; then
        echo "run-demo: no binaries in '$build'; running $client_bin and $service_bin" >&2
    fi
fi
tinyproxy_bin=$(PATH=$PATH:/usr/sbin:/usr/local/sbin command -v tinyproxy || true)
if [[ -z $tinyproxy_bin ]]; then
    echo "run-demo: tinyproxy is not installed (apt-get install tinyproxy)" >&2
    exit 1
fi

run_dir=$root/demo-run
mkdir -p "$run_dir"
rm -f "$run_dir"/tinyproxy-*.conf "$run_dir"/tinyproxy-*.log "$run_dir"/service.out \
    "$run_dir"/service.log

pids=()
# shellcheck disable=SC2317 # called from the EXIT trap
cleanup() {
    local pid
    for pid in "${pids[@]}"; do
        kill "$pid" 2>/dev/null || true
    done
    for pid in "${pids[@]}"; do
        wait "$pid" 2>/dev/null || true
    done
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

used_ports=" "
port_in_use() {
    if command -v ss >/dev/null; then
        [[ -n $(ss -Htln "sport = :$1") ]]
    else
        (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null
    fi
}
# Prints a port that nothing listens on and that this script has not handed out yet.
pick_port() {
    local port tries
    for ((tries = 0; tries < 500; tries++)); do
        port=$((20000 + RANDOM % 40000))
        if [[ $used_ports != *" $port "* ]] && ! port_in_use "$port"; then
            echo "$port"
            return 0
        fi
    done
    echo "run-demo: no free port found" >&2
    return 1
}
wait_for_port() { # port pid
    local i
    for ((i = 0; i < 100; i++)); do
        kill -0 "$2" 2>/dev/null || return 1
        if (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; then
            return 0
        fi
        sleep 0.05
    done
    return 1
}

cat >"$run_dir/403.html" <<'EOF'
<html>
<head><title>Access denied</title></head>
<body>
<h1>Access denied</h1>
<p>Please ensure this IP is set in your Authorized IP list: <b>{clientip}</b></p>
</body>
</html>
EOF

start_tinyproxy() { # name allow-line extra-line; prints the port
    local name=$1 port attempt pid conf
    for ((attempt = 0; attempt < 3; attempt++)); do
        port=$(pick_port)
        conf=$run_dir/tinyproxy-$name.conf
        cat >"$conf" <<EOF
Port $port
Listen 127.0.0.1
Timeout 30
MaxClients 100
LogLevel Warning
DisableViaHeader No
$2
$3
EOF
        "$tinyproxy_bin" -d -c "$conf" >>"$run_dir/tinyproxy-$name.log" 2>&1 &
        pid=$!
        pids+=("$pid")
        if wait_for_port "$port" "$pid"; then
            used_ports+="$port "
            started_port=$port
            return 0
        fi
        kill "$pid" 2>/dev/null || true
    done
    echo "run-demo: tinyproxy ($name) did not start; see $run_dir/tinyproxy-$name.log" >&2
    return 1
}

# Not in a $(...) subshell, so that the pids stay known to the cleanup.
start_tinyproxy allowing "Allow 127.0.0.1" ""
allowing_port=$started_port
start_tinyproxy refusing "Allow 192.0.2.1" "ErrorFile 403 \"$run_dir/403.html\""
refusing_port=$started_port

# Served as /logo.png; the client fetches its logo on a fixed port, so config.ini names none.
logo=$root/resources/images/quorvane.png
logo_args=()
[[ -f $logo ]] && logo_args=(--logo "$logo")

api_url=
ping_url=
for ((attempt = 0; attempt < 3; attempt++)); do
    silent_port=$(pick_port)
    used_ports+="$silent_port "
    wrong_port=$(pick_port)
    used_ports+="$wrong_port "
    closed_port=$(pick_port)
    used_ports+="$closed_port "
    # The same API address at every start where the port is free: a saved login is kept per
    # address, so "Remember me" then works across demo runs.
    service_port=0
    ((attempt == 0)) && ! port_in_use 18080 && service_port=18080
    : >"$run_dir/service.out"
    "$service_bin" --port "$service_port" --account demo:demo-pass \
        --proxy "127.0.0.1:$allowing_port" --proxy "127.0.0.1:$refusing_port" \
        --proxy "127.0.0.1:$silent_port" --proxy "127.0.0.1:$wrong_port" \
        --proxy "127.0.0.1:$closed_port" \
        --silent-port "$silent_port" --wrong-page-port "$wrong_port" --verbose "${logo_args[@]}" \
        >"$run_dir/service.out" 2>>"$run_dir/service.log" &
    service_pid=$!
    pids+=("$service_pid")
    for ((i = 0; i < 100; i++)); do
        api_url=$(sed -n 's/^API_URL=//p' "$run_dir/service.out")
        ping_url=$(sed -n 's/^PING_URL=//p' "$run_dir/service.out")
        [[ -n $api_url && -n $ping_url ]] && break
        kill -0 "$service_pid" 2>/dev/null || break
        sleep 0.05
    done
    [[ -n $api_url && -n $ping_url ]] && break
    kill "$service_pid" 2>/dev/null || true
done
if [[ -z $api_url || -z $ping_url ]]; then
    echo "run-demo: pm-demo-service did not start; see $run_dir/service.log" >&2
    exit 1
fi

{
    echo "API_URL=$api_url"
    echo "PING_URL=$ping_url"
    echo "TITLE_TEXT=ProxyManager demo"
    echo "PARALLEL_TESTS=${PM_DEMO_PARALLEL_TESTS:-4}"
} >"$run_dir/config.ini"

cat <<EOF
ProxyManager demo
  User name: demo
  Password:  demo-pass
  Service:   $api_url
  Proxies of the demo account:
    127.0.0.1:$allowing_port  works (tinyproxy)
    127.0.0.1:$refusing_port  refuses this IP with a 403 page (tinyproxy)
    127.0.0.1:$silent_port  never answers (times out)
    127.0.0.1:$wrong_port  answers with a wrong page
    127.0.0.1:$closed_port  nothing listens there (connection refused)
  Run directory: $run_dir
EOF

cd "$run_dir"
set +e
"$client_bin" "$@"
status=$?
set -e
exit "$status"
