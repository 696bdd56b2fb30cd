#!/usr/bin/env bash
# Builds the protocol's and the HTTP parser's fuzz targets and runs each for a short while (VX_FUZZ_SECONDS, default 30)
# over a copy of its corpus in the build folder (VX_FUZZ_BUILD_DIR, default build-fuzz), so the
# repository's corpus stays as it is. Fails when a target finds a crash, a sanitizer report or a
# broken invariant.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${VX_FUZZ_SECONDS:-30}"
build="${VX_FUZZ_BUILD_DIR:-build-fuzz}"
targets=(fuzz_commandline fuzz_porttestingline fuzz_httpparser)

scripts/install-deps.sh
cmake --preset fuzz -B "$build" >/dev/null
cmake --build "$build" --target "${targets[@]}" -j"$(nproc)"

failed=()
for target in "${targets[@]}"; do
    corpus="$build/corpus/$target"
    artifacts="$build/artifacts/$target"
    rm -rf "$corpus"
    mkdir -p "$corpus" "$artifacts"
    cp fuzz/corpus/"$target"/* "$corpus"/
    echo "== $target: $seconds s"
    dict=fuzz/protocol.dict
    [ "$target" = fuzz_httpparser ] && dict=fuzz/http.dict
    # A unit taking seconds on one short line would be a hang worth reporting too.
    if ! "$build/fuzz/$target" -max_total_time="$seconds" -timeout=10 \
        -dict="$dict" -artifact_prefix="$artifacts/" -print_final_stats=1 \
        "$corpus" 2>"$build/$target.log"; then
        failed+=("$target")
        tail -n 40 "$build/$target.log"
        echo "== $target failed; the input is in $artifacts/"
    fi
    grep -E '^(#[0-9]+[[:space:]]+DONE|stat::(number_of_executed_units|average_exec_per_sec))' \
        "$build/$target.log" || true
done

if [ ${#failed[@]} -ne 0 ]; then
    echo "fuzzing failed: ${failed[*]}"
    exit 1
fi
echo "fuzzing passed: ${targets[*]}"
