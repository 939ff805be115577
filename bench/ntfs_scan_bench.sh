#!/usr/bin/env bash
# NTFS scans against their physical limits and against The Sleuth Kit, in one
# run on one image:
#   - normal scan vs. reading the $MFT alone (dd of its runs) and vs. fls -r -p
#   - deep scan vs. dd of the whole volume
# The image (4 GiB, 20,000 files in 200 folders, a fifth deleted) is made once
# with mkntfs + ntfs-3g and kept in bench/.cache. Needs root (FUSE); drops the
# page cache before each cold run when it can.
#   bench/ntfs_scan_bench.sh [path/to/quenlar]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
quenlar=${1:-$root/build/quenlar}
cache=$root/bench/.cache
img=$cache/ntfs-20k.img
mkdir -p "$cache"

if [ ! -f "$img" ]; then
  echo "making $img ..." >&2
  truncate -s 4G "$img.tmp"
  mkntfs -F -f -q "$img.tmp" >/dev/null 2>&1
  mnt=$(mktemp -d)
  ntfs-3g "$img.tmp" "$mnt"
  python3 - "$mnt" <<'PY'
import os, sys
mnt = sys.argv[1]
for d in range(200):
    os.mkdir(f"{mnt}/d{d:03d}")
    for i in range(100):
        with open(f"{mnt}/d{d:03d}/f{i:03d}.bin", "wb") as f:
            f.write(os.urandom(256) * (1 + (i % 40)))
for d in range(0, 200, 5):
    for i in range(100):
        os.remove(f"{mnt}/d{d:03d}/f{i:03d}.bin")
PY
  umount "$mnt"; rmdir "$mnt"
  mv "$img.tmp" "$img"
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

. "$root/bench/timing.sh"
export BENCH_FILES=$img

bytes=$(stat -c %s "$img")
mft=$("$quenlar" probe --json "$img" | python3 -c '
import json,sys; p=json.load(sys.stdin); print(" ".join("%d:%d" % (r["lcn"], r["length"]) for r in p["mftRuns"]))')
cluster=$("$quenlar" probe --json "$img" | python3 -c 'import json,sys; print(json.load(sys.stdin)["clusterBytes"])')
read_mft() { for run in $mft; do dd if="$img" bs="$cluster" skip="${run%%:*}" count="${run##*:}" status=none of=/dev/null; done; }

printf "%-34s %9s %9s\n" "cold cache, median of 3" "seconds" "MiB/s"
for name in "dd of the \$MFT runs" "quenlar scan (normal)" "fls -r -p" "dd of the volume" "quenlar scan --deep"; do
  case $name in
    "dd of the \$MFT runs") t=$(seconds read_mft); mb=0 ;;
    "quenlar scan (normal)") t=$(seconds "$quenlar" scan --json "$img"); mb=0 ;;
    "fls -r -p") t=$(seconds fls -r -p "$img"); mb=0 ;;
    "dd of the volume") t=$(seconds dd if="$img" of=/dev/null bs=1M status=none); mb=$bytes ;;
    "quenlar scan --deep") t=$(seconds "$quenlar" scan --deep --json "$img"); mb=$bytes ;;
  esac
  rate=$(awk -v b="$mb" -v t="$t" 'BEGIN{print ((b > 0 && t > 0) ? b / 1048576 / t : 0)}')
  printf "%-34s %9.3f %9.0f\n" "$name" "$t" "$rate"
done
echo "results: $("$quenlar" scan --json "$img" | wc -l) from the normal scan, $(fls -r -p "$img" | wc -l) lines from fls"
