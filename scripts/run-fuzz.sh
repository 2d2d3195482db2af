#!/usr/bin/env bash
# Bounded libFuzzer run of the filter compiler and evaluator under AddressSanitizer and
# UndefinedBehaviorSanitizer. Needs clang; without it the run is skipped. Fails on any
# crash, sanitizer report or broken invariant.
#
#   FUZZ_SECONDS  total time shared by the targets (default 60)
#   BUILD_DIR     build root (default build); the fuzz build goes to $BUILD_DIR/fuzz
set -euo pipefail
cd "$(dirname "$0")/.."

if ! command -v clang >/dev/null 2>&1 || ! command -v clang++ >/dev/null 2>&1; then
    echo "== fuzz: clang not found, skipped =="
    exit 0
fi

build=${BUILD_DIR:-build}/fuzz
seconds=${FUZZ_SECONDS:-60}
jobs=${JOBS:-$(nproc)}
targets=(filter_compile_fuzz filter_eval_fuzz)
per_target=$(( seconds / ${#targets[@]} ))
(( per_target > 0 )) || per_target=1

echo "== fuzz: ${targets[*]}, ${per_target}s each =="
CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DBASTION_FUZZ=ON >/dev/null
cmake --build "$build" -j "$jobs" --target "${targets[@]}"

for target in "${targets[@]}"; do
    # New inputs go to a scratch corpus; the seeds in the repository stay as they are.
    work=$(mktemp -d)
    trap 'rm -rf "$work"' EXIT
    mkdir -p "$build/artifacts"
    "$build/tests/divert/fuzz/$target" \
        -max_total_time="$per_target" -timeout=10 -rss_limit_mb=2048 \
        -dict=tests/divert/fuzz_corpus/filter.dict \
        -artifact_prefix="$build/artifacts/$target-" -print_final_stats=1 \
        "$work" "tests/divert/fuzz_corpus/$target" 2>&1 | tail -n 25
    status=${PIPESTATUS[0]}
    rm -rf "$work"
    trap - EXIT
    if [ "$status" -ne 0 ]; then
        echo "== fuzz: $target failed (status $status); inputs in $build/artifacts ==" >&2
        exit 1
    fi
done
echo "== fuzz: clean =="
