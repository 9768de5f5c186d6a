#!/usr/bin/env bash
# Builds and runs the whole test suite twice: a normal build and one under
# AddressSanitizer with UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
jobs=$(nproc)
export TZ=UTC LC_ALL=C
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp"

# Both builds keep line tables only (-g1: enough for the sanitizers' reports and
# for backtraces, and a good deal cheaper to compile and link than full debug
# information) and link with gold, which is quicker than the default linker.
build() {  # name, extra cmake args...
  local dir="build/$1"; shift
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DSALVOR_BENCH=ON \
    -DCMAKE_CXX_FLAGS_DEBUG=-g1 -DCMAKE_C_FLAGS_DEBUG=-g1 -DCMAKE_EXE_LINKER_FLAGS=-fuse-ld=gold "$@"
  cmake --build "$dir" -j "$jobs"
}
run_tests() {  # name
  ctest --test-dir "build/$1" --output-on-failure -j "$jobs" --timeout 600
}

build test
# The normal build's tests run while the sanitizer build compiles: each leaves
# the cores idle at times (links, the last long tests) that the other fills.
log=build/test/ctest.log
( run_tests test >"$log" 2>&1; echo $? >"$log.status" ) &
tests=$!
build test-asan -DSALVOR_SANITIZE="address;undefined" -DSALVOR_BENCH=OFF
wait "$tests" || true
cat "$log"
status=$(cat "$log.status" 2>/dev/null || echo 1)
if [ "$status" != 0 ]; then
  echo "The normal build's tests failed." >&2
  exit 1
fi
run_tests test-asan
echo "All test suites passed."
