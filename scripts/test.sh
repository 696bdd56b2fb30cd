#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole test suite: the normal build with the
# Debian package, then the same tests under AddressSanitizer and UndefinedBehaviorSanitizer, then
# a short fuzz pass over the protocol parsers.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
jobs=$(nproc)

cmake --preset default >/dev/null
cmake --build build -j"$jobs"
# The Debian package, checked by lintian here and installed by the package test (tests/package).
scripts/package.sh
ctest --preset default -j"$jobs"

# The service tests run the tester as a systemd unit, whose sandbox keeps LeakSanitizer from
# inspecting the process, and the package test installs the package, not this build; they run
# in the normal build above.
cmake --preset asan >/dev/null
cmake --build build-asan -j"$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    ctest --preset asan -j"$jobs" -E '^tst_(service|package)$'

if [ -x scripts/fuzz.sh ]; then
    VX_FUZZ_SECONDS=${VX_FUZZ_SECONDS:-10} scripts/fuzz.sh
fi
