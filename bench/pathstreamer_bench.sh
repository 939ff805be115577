#!/usr/bin/env bash
# The folder tree's way to the documents on a large NTFS volume: 100,000
# files in 1,000 folders (a fifth deleted), 4 GiB, made once with mkntfs +
# ntfs-3g and kept in bench/.cache. A consumer polls GetScanFilePathData every
# 50 ms while the bridge scans (the normal scan, then the deep scan); prints
# the time to the first batch, to the scan's end, and to the whole tree.
# Needs root (FUSE).
#   bench/pathstreamer_bench.sh [build folder]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
cache=$root/bench/.cache
img=$cache/ntfs-100k.img
mkdir -p "$cache"

if [ ! -f "$img" ]; then
  echo "making $img (some minutes) ..." >&2
  truncate -s 4G "$img.tmp"
  mkntfs -F -f -q "$img.tmp" >/dev/null 2>&1
  mnt=$(mktemp -d)
  ntfs-3g "$img.tmp" "$mnt"
  python3 - "$mnt" <<'PY'
import os, sys
mnt = sys.argv[1]
block = os.urandom(4096)
for d in range(1000):
    os.mkdir(f"{mnt}/d{d:04d}")
    for i in range(100):
        with open(f"{mnt}/d{d:04d}/f{i:03d}.bin", "wb") as f:
            f.write(block[:256 * (1 + i % 16)])
for d in range(0, 1000, 5):
    for i in range(100):
        os.remove(f"{mnt}/d{d:04d}/f{i:03d}.bin")
PY
  umount "$mnt"; rmdir "$mnt"
  mv "$img.tmp" "$img"
fi

cmake --build "$build" --target pathstreamer_bench >/dev/null
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
. "$root/bench/timing.sh"
drop
"$build/bench/pathstreamer_bench" "$img"
