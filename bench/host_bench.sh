#!/usr/bin/env bash
# The UI host's costs, seen from a document: the round trip of a script call
# over the WebSocket (10,000 GetWorkFlag calls one after another: median and
# 99th percentile), and the rows per second a folder listing of 100,000 files
# reaches the document at (GetPathFiles to EndReceiePathFiles). The volume,
# an NTFS image with one folder of 100,000 files, is made once with mkntfs +
# ntfs-3g and kept in bench/.cache. Needs root (FUSE) and the Node packages
# of tests/ui (scripts/setup.sh installs them).
#   bench/host_bench.sh [build folder]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
cache=$root/bench/.cache
img=$cache/ntfs-flat-100k.img
mkdir -p "$cache"

if [ ! -f "$img" ]; then
  echo "making $img (some minutes) ..." >&2
  truncate -s 1G "$img.tmp"
  mkntfs -F -f -q "$img.tmp" >/dev/null 2>&1
  mnt=$(mktemp -d)
  ntfs-3g "$img.tmp" "$mnt"
  python3 - "$mnt" <<'PY'
import os, sys
folder = os.path.join(sys.argv[1], "flat")
os.mkdir(folder)
for i in range(100000):
    with open(os.path.join(folder, f"photo_{i:06d}.jpg"), "wb") as f:
        f.write(b"\xff\xd8\xff\xe0" + i.to_bytes(4, "little"))
PY
  umount "$mnt"; rmdir "$mnt"
  mv "$img.tmp" "$img"
fi

cmake --build "$build" --target quenlar >/dev/null
QUENLAR=$build/quenlar node "$root/bench/host_bench.mjs" "$img"
