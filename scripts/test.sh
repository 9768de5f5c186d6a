#!/usr/bin/env bash
# Builds and runs the whole test suite twice, a normal build and one under
# AddressSanitizer with UndefinedBehaviorSanitizer, and the tests that share
# data between threads (store, scan session, device, window) a third time
# under ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
jobs=$(nproc)
export TZ=UTC LC_ALL=C
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp"
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$PWD/tests/tsan.supp"

# Both builds keep line tables only (-g1: enough for the sanitizers' reports and
# for backtraces, and a good deal cheaper to compile and link than full debug
# information) and link with gold, which is quicker than the default linker.
build() {  # name, extra cmake args... [-- targets...]
  local dir="build/$1"; shift
  local args=() targets=()
  while [ $# -gt 0 ] && [ "$1" != "--" ]; do args+=("$1"); shift; done
  [ $# -gt 0 ] && shift && targets=("$@")
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DSALVOR_BENCH=ON \
    -DCMAKE_CXX_FLAGS_DEBUG=-g1 -DCMAKE_C_FLAGS_DEBUG=-g1 -DCMAKE_EXE_LINKER_FLAGS=-fuse-ld=gold "${args[@]}"
  if [ ${#targets[@]} -gt 0 ]; then
    cmake --build "$dir" -j "$jobs" --target "${targets[@]}"
  else
    cmake --build "$dir" -j "$jobs"
  fi
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
# The sanitizer build's tests run while the thread-sanitizer build compiles.
log=build/test-asan/ctest.log
( run_tests test-asan >"$log" 2>&1; echo $? >"$log.status" ) &
tests=$!
# Only what the threads share: the store and its feed, the scan session and
# its controller, the device flow and the window (its scan-driven tests; the
# window's other tests and the long ones run in the two builds above).
build test-tsan -DSALVOR_SANITIZE=thread -DSALVOR_BENCH=OFF -- test_store test_core test_device test_gui
wait "$tests" || true
cat "$log"
if [ "$(cat "$log.status" 2>/dev/null || echo 1)" != 0 ]; then
  echo "The sanitizer build's tests failed." >&2
  exit 1
fi
tsan=build/test-tsan/tests
for t in test_store test_core test_device; do
  echo "ThreadSanitizer: $t"
  "$tsan/$t" --gtest_brief=1
done
echo "ThreadSanitizer: test_gui (scans followed by the window and its models)"
QT_NO_GLIB=1 QT_QPA_PLATFORM=offscreen "$tsan/gui/test_gui" --gtest_brief=1 \
  --gtest_filter='ScannedBrowser.CategoryButtons*:Generations/ModelFollowsScan.*/2:Generations/ModelFollowsScan.*/5:GuiBackupChooser.*'
echo "All test suites passed."
