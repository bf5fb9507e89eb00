#!/usr/bin/env bash
# Runs every benchmark on the linux preset and writes the figures into <build>/bench-results:
#   copy.csv, copy_benchmark.png, startup.csv, handover.csv, logging.json.
#   bench/run_all.sh [<build folder>]      (default build/linux; configured and built here)
# The copy runs are those of docs/performance.md (3 rounds, fresh and replacing installations), so the plot
# has the same bars as docs/copy_benchmark.png; the repository's copy is replaced only by hand, after review:
#   cp <build>/bench-results/copy_benchmark.png docs/
# Run it on an idle machine: the copy benchmark syncs the whole file system between rounds.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${1:-$root/build/linux}"
cd "$root"

cmake --preset linux -B "$build" >/dev/null
cmake --build "$build" -j2 --target QORLauncherUpdater QORLauncher qor_trivial_program qor_bench_runner logging_bench
mkdir -p "$build/bench-results"

echo "== machine"
{
  echo "nproc: $(nproc)"
  grep -m1 "model name" /proc/cpuinfo || true
  echo "file system of the build folder: $(df -T "$build" | awk 'NR==2 {print $2 " on " $1}')"
  uname -srm
} | tee "$build/bench-results/machine.txt"

echo "== logging"
(cd "$build/bench/logging" && ./logging_bench --benchmark_repetitions=3 \
   --benchmark_out="$build/bench-results/logging.json" --benchmark_out_format=json)

echo "== start-up"
python3 bench/startup/startup_bench.py --build "$build"

echo "== handover"
python3 bench/handover/handover_bench.py --build "$build"

echo "== copy"
python3 bench/copy/copy_bench.py --build "$build" --rounds 3 --replacing
bench/plot_copy.sh "$build/bench-results/copy.csv" "$build/bench-results/copy_benchmark.png"
