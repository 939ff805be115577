#!/usr/bin/env bash
# What two documents and an impatient user do to the window, counted over
# repeated tries (bench/window_trials.mjs): a double click, stops during the
# normal scan, "Search deeper" after a stop, saved scans, two documents
# taking one tree, the largest message of a filter, a stale selection. The
# volumes (an NTFS one of 100,000 files with 1,000 stray records, a FAT32
# one of 100,000 files) are written by bench/mkvolume.py into bench/.cache.
#   bench/window_trials.sh [path/to/quenlar] [tries]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
quenlar=$(realpath "${1:-$root/build/quenlar}")
tries=${2:-10}
cache=$root/bench/.cache
mkdir -p "$cache"
[ -f "$cache/trials-ntfs.img" ] ||
  python3 "$root/bench/mkvolume.py" ntfs "$cache/trials-ntfs.img" --files 100000 --stray 1000 --min-size $((1 << 30))
[ -f "$cache/trials-fat32.img" ] ||
  python3 "$root/bench/mkvolume.py" fat32 "$cache/trials-fat32.img" --files 100000 --cluster 1024 --min-size $((1 << 30))
small=$cache/trials-small.img
[ -f "$small" ] || xz -dc "$root/tests/images/fat32.img.xz" > "$small"
node "$root/bench/window_trials.mjs" "$quenlar" "$cache/trials-ntfs.img" "$cache/trials-fat32.img" "$small" "$tries"
