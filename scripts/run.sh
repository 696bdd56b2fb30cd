#!/usr/bin/env bash
# Installs what is missing, builds, and runs the tester in the foreground on its default
# control port (32889). Extra arguments go to the tester (e.g. a control port). Ctrl-C stops it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build build -j"$(nproc)"
exec build/vx-connectivity-tester -e "$@"
