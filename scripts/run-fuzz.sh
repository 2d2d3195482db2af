#!/usr/bin/env bash
# Bounded libFuzzer run of the filter compiler and evaluator under AddressSanitizer and
# UndefinedBehaviorSanitizer. Needs clang; without it the run is skipped. Fails on any
# crash, sanitizer report or broken invariant.
#
#   FUZZ_SECONDS  fuzzing time shared by the targets (default 60); with two jobs or more
#                 the targets run side by side, so the run takes about half of it
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

# With two cores or more the targets fuzz side by side, each for its full share.
parallel=0
(( jobs > 1 )) && parallel=1
echo "== fuzz: ${targets[*]}, ${per_target}s each =="
# Line tables are enough for the crash reports and cost far less to build.
CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O2 -g1 -DNDEBUG" "-DCMAKE_C_FLAGS_RELWITHDEBINFO=-O2 -g1 -DNDEBUG" \
    -DBASTION_FUZZ=ON >/dev/null
cmake --build "$build" -j "$jobs" --target "${targets[@]}"

# New inputs go to scratch corpora; the seeds in the repository stay as they are.
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir -p "$build/artifacts"

fuzz_one() {
    local target=$1
    mkdir -p "$scratch/$target"
    "$build/tests/divert/fuzz/$target" \
        -max_total_time="$per_target" -timeout=10 -rss_limit_mb=2048 \
        -dict=tests/divert/fuzz_corpus/filter.dict \
        -artifact_prefix="$build/artifacts/$target-" -print_final_stats=1 \
        "$scratch/$target" "tests/divert/fuzz_corpus/$target" >"$scratch/$target.log" 2>&1
}

declare -A status
if (( parallel )); then
    declare -A pids
    for target in "${targets[@]}"; do
        fuzz_one "$target" &
        pids[$target]=$!
    done
    for target in "${targets[@]}"; do
        st=0; wait "${pids[$target]}" || st=$?
        status[$target]=$st
    done
else
    for target in "${targets[@]}"; do
        st=0; fuzz_one "$target" || st=$?
        status[$target]=$st
    done
fi

failed=0
for target in "${targets[@]}"; do
    echo "-- $target --"
    tail -n 25 "$scratch/$target.log"
    if [ "${status[$target]}" -ne 0 ]; then
        echo "== fuzz: $target failed (status ${status[$target]}); inputs in $build/artifacts ==" >&2
        failed=1
    fi
done
(( failed == 0 )) || exit 1
echo "== fuzz: clean =="
