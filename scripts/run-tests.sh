#!/usr/bin/env bash
# The whole test run: every test, then every test again under AddressSanitizer and
# UndefinedBehaviorSanitizer, then the concurrent tests under ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."

build_root=${BUILD_DIR:-build}
jobs=${JOBS:-$(nproc)}
ctest_args=(--output-on-failure --no-tests=error -j "$jobs")

# Line tables keep file:line in failures and sanitizer reports at a fraction of the cost
# of full debug info. The sanitizer builds use -O1, the level the sanitizers are meant to
# run at: their compile time is halved, and the optimiser's warnings are caught by the
# plain -O2 pass.
plain_flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O2 -g1 -DNDEBUG"
    "-DCMAKE_C_FLAGS_RELWITHDEBINFO=-O2 -g1 -DNDEBUG" -DBASTION_WERROR=ON)
san_flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O1 -g1 -DNDEBUG"
    "-DCMAKE_C_FLAGS_RELWITHDEBINFO=-O1 -g1 -DNDEBUG" -DBASTION_WERROR=ON)
# Some forty test executables each link the whole engine; lld does it in under half the
# time of the default linker.
if command -v ld.lld >/dev/null 2>&1; then
    plain_flags+=(-DCMAKE_EXE_LINKER_FLAGS=-fuse-ld=lld)
    san_flags+=(-DCMAKE_EXE_LINKER_FLAGS=-fuse-ld=lld)
else
    plain_flags+=(-DCMAKE_EXE_LINKER_FLAGS=)
    san_flags+=(-DCMAKE_EXE_LINKER_FLAGS=)
fi

configure_and_build() {
    local dir=$1; shift
    local target=$1; shift
    cmake -S . -B "$dir" -G Ninja "$@"
    cmake --build "$dir" -j "$jobs" ${target:+--target "$target"}
}

echo "== tests (RelWithDebInfo) =="
configure_and_build "$build_root/test" "" "${plain_flags[@]}" -DBASTION_BUILD_BENCH=OFF
(cd "$build_root/test" && ctest "${ctest_args[@]}")

echo "== tests under address;undefined =="
configure_and_build "$build_root/asan" "" "${san_flags[@]}" \
    "-DBASTION_SANITIZERS=address;undefined"
(cd "$build_root/asan" && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ctest "${ctest_args[@]}")

echo "== concurrent tests under thread =="
configure_and_build "$build_root/tsan" concurrency_tests "${san_flags[@]}" \
    -DBASTION_SANITIZERS=thread
(cd "$build_root/tsan" && TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
    ctest "${ctest_args[@]}" -L concurrency)

if [ -x scripts/run-fuzz.sh ]; then
    scripts/run-fuzz.sh
fi
echo "== all tests passed =="
