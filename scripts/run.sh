#!/usr/bin/env bash
# Installs what is missing, builds the tester and its client tool, and runs the tester in the
# foreground on its default control port (32889). Extra arguments go to the tester (e.g. a
# control port). Ctrl-C stops it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build build -j"$(nproc)" --target vx-connectivity-tester vx-connectivity-check
port=${1:-${VX_CONTROL_PORT:-32889}}
echo "vx-connectivity-tester: starting on control port $port (try: build/vx-connectivity-check --port $port ip);" \
    "debug log: ${TMPDIR:-/tmp}/service-debuglog.txt; Ctrl-C stops it"
exec build/vx-connectivity-tester -e "$@"
