#!/usr/bin/env bash
# Runs every test: the 64-bit build, the end-to-end tests of the optimised build, the 32-bit x86
# build, AddressSanitizer+UBSan (end-to-end tests in the real runtime included), the concurrency
# tests under ThreadSanitizer, and the clang build of both libraries with the fuzz targets.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

jobs=$(nproc)
summary=$(mktemp)
coverage=$(mktemp)
coverage_report=$(mktemp)
trap 'rm -f "$summary" "$coverage" "$coverage_report"' EXIT
# run_preset PRESET [ctest options...]; QV_TARGETS (space-separated) builds only those targets.
run_preset() {
  local preset=$1; shift
  local started=$SECONDS
  local targets=()
  if [ -n "${QV_TARGETS:-}" ]; then
    read -r -a targets <<<"$QV_TARGETS"
    targets=(--target "${targets[@]}")
  fi
  echo "=== $preset build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs" "${targets[@]}"
  echo "=== $preset tests"
  # Counts from an earlier run would add to this one's coverage.
  find "build/$preset" -name '*.gcda' -delete
  ctest --preset "$preset" -j "$jobs" "$@" | tee -a "$summary"
  echo "=== $preset took $((SECONDS - started)) s"
}

run_preset dev
# Coverage of src/ by the 64-bit run (unit, integration and end-to-end tests). The check fails when
# line coverage falls more than one point below the figure recorded here.
coverage_floor=89.9
echo "=== coverage"
# Counters of code run by several threads at once can come out negative; gcovr skips those
# branch records (not the lines). gcovr 5.2 stalls with -j, so it runs on one core (about 30 s).
# Its per-file report goes to a scratch file: given /dev/null, gcovr replaces the device with a
# regular file.
gcovr -r . --filter 'src/' --exclude-throw-branches --exclude-unreachable-branches \
  --gcov-ignore-parse-errors --print-summary --txt "$coverage_report" build/dev 2>/dev/null |
  grep -E '^(lines|branches):' >"$coverage" || true
cat "$coverage"
line_coverage=$(awk '/^lines:/ { sub("%", "", $2); print $2 }' "$coverage")
if awk -v got="$line_coverage" -v floor="$coverage_floor" 'BEGIN { exit !(got < floor - 1) }'; then
  echo "coverage: line coverage of src/ is ${line_coverage}%, more than one point below ${coverage_floor}%" >&2
  exit 1
fi
# The optimised libraries in the real runtime.
QV_TARGETS=e2e_tests run_preset release -L e2e
run_preset x86
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 run_preset asan
# TSan: the tests that start threads (thread, spin-lock, log and host-thread suites).
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" QV_TARGETS="unit_tests integration_tests" \
  run_preset tsan -R 'Concurrent|SpinLock|SafeThread|Log|PALThreads|PALTools|ControllerPeer|EventQueue|PerformanceProfiler|TracingProfiler|SamplingProfiler|SamplingAttempts|MemoryProfiler'
# The clang build: both libraries must build with no exit-time destructor (an error there), and
# each parser of outside input runs for a bounded time from its seed corpus.
echo "=== fuzz build"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$jobs"
fuzz_seconds=${QV_FUZZ_SECONDS:-30}
for target in registry image; do
  corpus=$(mktemp -d)
  echo "=== fuzzing ${target} for ${fuzz_seconds}s"
  build/fuzz/tests/fuzz/${target}_fuzz -max_total_time="$fuzz_seconds" -print_final_stats=0 \
    "$corpus" "tests/fuzz/corpus/${target}" 2>&1 | tail -n 2
  rm -rf "$corpus"
done
# The controller's metadata reader, for a fixed 20 s from its seeds.
corpus=$(mktemp -d)
echo "=== fuzzing metadata for 20s"
build/fuzz/tests/fuzz/metadata_fuzz -max_total_time=20 -print_final_stats=0 \
  "$corpus" tests/fuzz/corpus/metadata 2>&1 | tail -n 2
rm -rf "$corpus"
# The controller's call-tree reader and profile model, for a fixed 20 s from their seeds.
corpus=$(mktemp -d)
echo "=== fuzzing calltree for 20s"
build/fuzz/tests/fuzz/calltree_fuzz -max_total_time=20 -print_final_stats=0 \
  "$corpus" tests/fuzz/corpus/calltree 2>&1 | tail -n 2
rm -rf "$corpus"
# Both ends of the bridge, for a fixed 20 s each from their recorded sessions; no message may make
# either end allocate more than 64 MiB.
for target in bridge controller; do
  corpus=$(mktemp -d)
  echo "=== fuzzing ${target} for 20s"
  build/fuzz/tests/fuzz/${target}_fuzz -max_total_time=20 -timeout=30 -malloc_limit_mb=64 \
    -print_final_stats=0 "$corpus" "tests/fuzz/corpus/${target}" 2>&1 | tail -n 2
  rm -rf "$corpus"
done
# The controller's heap reader and heap model, for a fixed 20 s from their seeds.
corpus=$(mktemp -d)
echo "=== fuzzing heap for 20s"
build/fuzz/tests/fuzz/heap_fuzz -max_total_time=20 -print_final_stats=0 \
  "$corpus" tests/fuzz/corpus/heap 2>&1 | tail -n 2
rm -rf "$corpus"
# One closing line over every configuration's tests.
awk '/tests passed, .* tests failed out of/ { total += $NF; failed += $(NF-5) }
     END { printf "tests: %d passed, %d failed\n", total - failed, failed }' "$summary"
sed 's/^/coverage of src\/: /' "$coverage"
# Size of the tests against the code they test, both counted with wc -l.
src_lines=$(find src -name '*.cpp' -o -name '*.h' -o -name '*.S' | xargs cat | wc -l)
test_lines=$(find tests -name '*.cpp' -o -name '*.h' -o -name '*.cs' -o -name '*.S' -o -name '*.py' |
  xargs cat | wc -l)
echo "lines: tests ${test_lines}, src ${src_lines} ($((100 * test_lines / src_lines))%)"
