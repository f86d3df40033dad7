#!/usr/bin/env bash
# The main job: builds the optimised configuration, records the bundled sample program with each
# profiler kind (tracing, sampling, and memory with a heap dump), prints the three reports and
# writes them with the exports into one output folder. `--bench` then runs the benchmark programs.
#
#   scripts/run.sh [--out FOLDER] [--bench [benchmark options...]]
set -euo pipefail
cd "$(dirname "$0")/.."

out="qvprof-output/$(date +%Y%m%d-%H%M%S)"
bench=0
bench_args=()
while [ $# -gt 0 ]; do
  case "$1" in
    --out) out=$2; shift 2 ;;
    --bench) bench=1; shift; bench_args=("$@"); break ;;
    *) echo "run: unknown option '$1' (use --out FOLDER, --bench)" >&2; exit 2 ;;
  esac
done

bash scripts/setup.sh
if ! command -v dotnet >/dev/null 2>&1; then
  echo "run: the main job records a .NET program and needs 'dotnet' on PATH" >&2
  exit 1
fi

echo "=== building (release)"
cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)" --target qvprof sample_apps

qvprof=build/release/apps/qvprof/qvprof
sample=build/release/apps/Sample/Sample.dll
mkdir -p "$out"

# The sample exits with 7 by design; qvprof passes that through.
record() {
  local name=$1; shift
  echo
  echo "=== recording the sample: $name"
  local rc=0
  "$qvprof" record -o "$out/$name" "$@" || rc=$?
  if [ "$rc" -ne 7 ]; then
    echo "run: the recording ended with exit code $rc, not the sample's 7" >&2
    exit 1
  fi
}

record tracing --mode tracing -- dotnet "$sample"
# The workers compute for 1.5 s, so that the samples find them running.
record sampling --mode sampling -- dotnet "$sample" --busy-ms 1500
# The sample holds its items alive for 3 s; the dump is taken 1.5 s after the start.
record memory --mode memory --allocations 100 --dump-after 1.5 -- dotnet "$sample" --hold-ms 3000

only_snapshot() {
  local files=("$out/$1"/*.qvsnap)
  if [ ${#files[@]} -ne 1 ] || [ ! -f "${files[0]}" ]; then
    echo "run: expected one snapshot in $out/$1, found ${#files[@]}" >&2
    exit 1
  fi
  echo "${files[0]}"
}

for kind in tracing sampling memory; do
  snapshot=$(only_snapshot "$kind")
  echo
  echo "=== report: $kind ($snapshot)"
  case "$kind" in
    memory) views=(--view heap --view allocations); formats=(pprof collapsed) ;;
    *) views=(--view hot --view tree); formats=(speedscope pprof collapsed chrome html) ;;
  esac
  "$qvprof" report "${views[@]}" --limit 10 --depth 8 "$snapshot" | tee "$out/$kind-report.txt"
  # Each export goes beside its snapshot, named by the format's ending.
  for format in "${formats[@]}"; do
    "$qvprof" export "$snapshot" --format "$format"
  done
done

echo
echo "=== the output folder: $out"
find "$out" -type f | sort | sed 's/^/  /'

if [ "$bench" -eq 1 ]; then
  cmake --build --preset release -j "$(nproc)"
  shopt -s nullglob
  for b in build/release/bench/*Bench; do
    echo "=== $(basename "$b")"
    "$b" --benchmark_min_time=0.2 "${bench_args[@]}"
  done
fi
