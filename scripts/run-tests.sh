#!/usr/bin/env bash
# The whole test run: every test, then every test again under AddressSanitizer and
# UndefinedBehaviorSanitizer, then the concurrent tests under ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."

build_root=${BUILD_DIR:-build}
jobs=${JOBS:-$(nproc)}
ctest_args=(--output-on-failure --no-tests=error -j "$jobs")

configure_and_build() {
    local dir=$1; shift
    local target=$1; shift
    cmake -S . -B "$dir" -G Ninja "$@"
    cmake --build "$dir" -j "$jobs" ${target:+--target "$target"}
}

echo "== tests (RelWithDebInfo) =="
configure_and_build "$build_root/test" "" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DBASTION_WERROR=ON -DBASTION_BUILD_BENCH=OFF
(cd "$build_root/test" && ctest "${ctest_args[@]}")

echo "== tests under address;undefined =="
configure_and_build "$build_root/asan" "" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DBASTION_WERROR=ON "-DBASTION_SANITIZERS=address;undefined"
(cd "$build_root/asan" && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ctest "${ctest_args[@]}")

echo "== concurrent tests under thread =="
configure_and_build "$build_root/tsan" concurrency_tests -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DBASTION_WERROR=ON -DBASTION_SANITIZERS=thread
(cd "$build_root/tsan" && TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
    ctest "${ctest_args[@]}" -L concurrency)

if [ -x scripts/run-fuzz.sh ]; then
    scripts/run-fuzz.sh
fi
echo "== all tests passed =="
