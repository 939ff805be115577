#!/usr/bin/env bash
# Saving and loading a scan's results: 100,000, 1,000,000 and 2,000,000 results saved
# into a new result database, saved again over that save, and loaded back.
#   bench/store_bench.sh [build folder]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
cmake --build "$build" --target store_bench >/dev/null
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
for n in 100000 1000000 2000000; do
  "$build/bench/store_bench" "$n"
done
