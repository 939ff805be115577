#!/usr/bin/env bash
# The documents' waits on very large scans: the first folder batch, the whole
# tree, a 100,000-file folder's listing and a filter, for 100,000 and
# 2,000,000 results held in memory (peak memory printed too).
#   bench/browse_bench.sh [build folder]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
cmake --build "$build" --target browse_bench >/dev/null
for n in 200000 2000000; do
  /usr/bin/time -f "  peak memory %M KB" "$build/bench/browse_bench" "$n"
done
