#!/usr/bin/env bash
# Runs every test: the 64-bit build, the 32-bit x86 build, AddressSanitizer+UBSan, and the
# concurrency tests under ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

jobs=$(nproc)
run_preset() {
  local preset=$1; shift
  echo "=== $preset build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  echo "=== $preset tests"
  ctest --preset "$preset" -j "$jobs" "$@"
}

run_preset dev
run_preset x86
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 run_preset asan
# TSan: the tests that start threads (thread, spin-lock, log and host-thread suites).
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" run_preset tsan -R 'Concurrent|SpinLock|SafeThread|Log|PALThreads'
echo "=== all test builds passed"
