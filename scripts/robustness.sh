#!/usr/bin/env bash
# The robustness builds and runs, for CI:
#   build-asan    every test under AddressSanitizer, UBSan and LeakSanitizer
#   build-faults  every test with the n-th allocation made to fail (test_faults
#                 and the other subsystems' allocation-failure cases), under ASan
#   build-tsan    the concurrency test under ThreadSanitizer
#   build-fuzz    every fuzz target for $KESTRUN_FUZZ_SECONDS (default 60) each, seed
#                 $KESTRUN_FUZZ_SEED (default 1)
# Build directories are under $KESTRUN_ROBUSTNESS_BUILD (default: the source
# tree). Needs clang and libclang-rt-14-dev (scripts/setup-debian.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
root=${KESTRUN_ROBUSTNESS_BUILD:-.}
jobs=${KESTRUN_JOBS:-$(nproc)}
seconds=${KESTRUN_FUZZ_SECONDS:-60}
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1:strict_string_checks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}
clang=(-DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTRUN_BENCH=OFF
       -DKESTRUN_CPU_LEVEL_TESTS=OFF)
step() { printf '\n== %s (%ds so far)\n' "$1" "$SECONDS"; }

step "sanitizer build: address, undefined, leak; every test"
cmake -S . -B "$root/build-asan" "${clang[@]}" -DKESTRUN_SANITIZE=address,undefined >/dev/null
cmake --build "$root/build-asan" -j"$jobs"
ctest --test-dir "$root/build-asan" --output-on-failure -j"$jobs"

step "allocation-failure build: every allocation of a session and of raw-encode/raw-decode fails once"
cmake -S . -B "$root/build-faults" "${clang[@]}" -DKESTRUN_SANITIZE=address,undefined -DKESTRUN_FAULT_INJECTION=ON >/dev/null
cmake --build "$root/build-faults" -j"$jobs"
# Every test: test_faults, and the other subsystems' allocation-failure cases,
# which skip themselves in builds without the hook.
ctest --test-dir "$root/build-faults" --output-on-failure -j"$jobs"

step "thread sanitizer: instances compressing and decompressing at once"
cmake -S . -B "$root/build-tsan" "${clang[@]}" -DKESTRUN_SANITIZE=thread -DKESTRUN_TOOLS=OFF >/dev/null
cmake --build "$root/build-tsan" -j"$jobs" --target test_concurrency
"$root/build-tsan/tests/test_concurrency"

step "fuzz smoke runs, ${seconds}s per target"
# A fixed seed, so that what a run finds can be found again from its log;
# longer runs with fresh seeds are scripts/fuzz.sh's.
KESTRUN_FUZZ_BUILD="$root/build-fuzz" KESTRUN_JOBS="$jobs" scripts/fuzz.sh all "$seconds" -seed="${KESTRUN_FUZZ_SEED:-1}"

step "robustness checks passed"
