#!/usr/bin/env bash
# The web front door's /ip beside nginx's on one machine: nginx-light from Debian answers
# `return 200 "$remote_addr\n"` with its access log off and N worker processes; the tester runs
# with N front-door threads (VX_HTTP_THREADS); wrk loads each over loopback at 8 and 64
# connections. Prints one table; a ratio of 1.00 is parity. Both servers get the same machine,
# so only the ratio means anything on a shared one.
#   VX_BENCH_WORKERS (default 1), VX_BENCH_SECONDS (default 10), VX_BENCH_WRK_THREADS (default 2),
#   VX_BENCH_TESTER (another build of the tester, to compare builds); the tester takes its other
#   settings from the environment: VX_METRICS_LISTEN=127.0.0.1:0 runs it with its metrics
#   listener, whose count of /ip answers is shown at the end.
set -euo pipefail
cd "$(dirname "$0")/.."
workers="${VX_BENCH_WORKERS:-1}"
seconds="${VX_BENCH_SECONDS:-10}"
wrk_threads="${VX_BENCH_WRK_THREADS:-2}"
tester="${VX_BENCH_TESTER:-build/vx-connectivity-tester}"

missing=()
for tool in nginx:nginx-light wrk:wrk; do
    command -v "${tool%%:*}" >/dev/null || missing+=("${tool#*:}")
done
if [ ${#missing[@]} -ne 0 ]; then
    sudo=()
    [ "$(id -u)" -eq 0 ] || sudo=(sudo)
    "${sudo[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
cmake --preset default >/dev/null
cmake --build build --target vx-connectivity-tester >/dev/null

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
work=$(mktemp -d)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

nginx_port=$(free_port)
cat >"$work/nginx.conf" <<CONF
worker_processes $workers;
daemon off;
pid $work/nginx.pid;
error_log $work/error.log warn;
events { worker_connections 4096; }
http {
    access_log off;
    server {
        listen 127.0.0.1:$nginx_port;
        location / { return 200 "\$remote_addr\n"; }
    }
}
CONF
nginx -c "$work/nginx.conf" -p "$work" &
pids+=($!)

tester_port=$(free_port)
control_port=$(free_port)
TMPDIR="$work" VX_HTTP_PORT="$tester_port" VX_HTTP_THREADS="$workers" \
    "$tester" -e "$control_port" \
    >"$work/tester.out" 2>&1 &
pids+=($!)
for port in "$nginx_port" "$tester_port"; do
    for _ in $(seq 50); do
        curl -fs "http://127.0.0.1:$port/ip" >/dev/null && break
        sleep 0.1
    done
done

rate() { # connections, port
    wrk -t"$wrk_threads" -c"$1" -d"${seconds}s" "http://127.0.0.1:$2/ip" |
        awk '/Requests\/sec/ {print int($2)}'
}
printf '%-12s %-8s %14s %14s %7s\n' "workers" "conns" "nginx req/s" "tester req/s" "ratio"
for conns in 8 64; do
    theirs=$(rate "$conns" "$nginx_port")
    ours=$(rate "$conns" "$tester_port")
    printf '%-12s %-8s %14s %14s %7.2f\n' "$workers" "$conns" "$theirs" "$ours" \
        "$(echo "$ours / $theirs" | bc -l)"
done
if [ -n "${VX_METRICS_LISTEN:-}" ]; then
    metrics_port=$(sed -n 's/^metrics listening on port //p' "$work/tester.out")
    curl -fs "http://127.0.0.1:$metrics_port/metrics" | grep '^vx_web_requests_total{route="ip"'
fi
