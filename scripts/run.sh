#!/usr/bin/env bash
# The project's main job, as far as it exists today.
#
# Recording a managed program with `qvprof record` arrives with the profiler library, the host
# loader and the controller. Until then this builds the optimised configuration of everything
# that exists (platform layer, runtime and host interfaces, errors, threads, log, temporary files,
# UTF-8 and the bridge stream encodings) and runs its benchmark programs, which exercise those
# parts on this machine and print their figures.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)"

shopt -s nullglob
benches=(build/release/bench/*Bench)
if [ ${#benches[@]} -eq 0 ]; then
  echo "run: no benchmark programs were built" >&2
  exit 1
fi
for b in "${benches[@]}"; do
  echo "=== $(basename "$b")"
  "$b" --benchmark_min_time=0.2 "$@"
done
