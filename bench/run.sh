#!/usr/bin/env bash
# Builds the tester and the bench tools where needed, then drives the service and the reference
# responder over loopback and prints one table. Arguments go to the load generator (see
# --help); smaller runs through the environment, e.g.
#   VX_BENCH_IDLE=200 VX_BENCH_CONCURRENT=2000 VX_BENCH_SECONDS=1 bench/run.sh
# The servers start with a descriptor limit of 65536, soft and hard, as the service's systemd
# unit gives it (each control connection holds two descriptors: its socket and its worker's
# wake-up descriptor); raising the hard limit needs root with CAP_SYS_RESOURCE, and the table
# says when it could not be raised.
set -euo pipefail
cd "$(dirname "$0")/.."

cmake --preset default >/dev/null
cmake --build build -j2 --target vx-connectivity-tester vx-bench-reference vx-bench-loadgen >/dev/null

args=(--service build/vx-connectivity-tester --reference build/bench/vx-bench-reference)
[[ -n "${VX_BENCH_IDLE:-}" ]] && args+=(--idle "$VX_BENCH_IDLE")
[[ -n "${VX_BENCH_IDLE_SECONDS:-}" ]] && args+=(--idle-seconds "$VX_BENCH_IDLE_SECONDS")
[[ -n "${VX_BENCH_CONCURRENT:-}" ]] && args+=(--concurrent "$VX_BENCH_CONCURRENT")
[[ -n "${VX_BENCH_CONNS:-}" ]] && args+=(--ip-conns "$VX_BENCH_CONNS" --turnaround-conns "$VX_BENCH_CONNS")
[[ -n "${VX_BENCH_SECONDS:-}" ]] && args+=(--seconds "$VX_BENCH_SECONDS")
exec build/bench/vx-bench-loadgen "${args[@]}" "$@"
