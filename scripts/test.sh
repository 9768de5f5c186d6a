#!/usr/bin/env bash
# Builds and runs the whole test suite twice: a normal build and one under
# AddressSanitizer with UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
jobs=$(nproc)
export TZ=UTC LC_ALL=C

# Both builds keep line tables only (-g1: enough for the sanitizers' reports and
# for backtraces, and a good deal cheaper to compile and link than full debug
# information) and link with gold, which is quicker than the default linker.
run_suite() {  # name, extra cmake args...
  local dir="build/$1"; shift
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DSALVOR_BENCH=ON \
    -DCMAKE_CXX_FLAGS_DEBUG=-g1 -DCMAKE_C_FLAGS_DEBUG=-g1 -DCMAKE_EXE_LINKER_FLAGS=-fuse-ld=gold "$@"
  cmake --build "$dir" -j "$jobs"
  ctest --test-dir "$dir" --output-on-failure -j "$jobs" --timeout 600
}

run_suite test
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp" \
  run_suite test-asan -DSALVOR_SANITIZE="address;undefined" -DSALVOR_BENCH=OFF
echo "All test suites passed."
