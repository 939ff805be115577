#!/usr/bin/env bash
# Recovery throughput against The Sleuth Kit, in one run:
#   - one large fragmented file: quenlar recover vs. icat to /dev/null and to a file
#   - many small files: quenlar recover --all vs. tsk_recover -e
# Images are made once with mkntfs + ntfs-3g and kept in bench/.cache (the
# many-files one is shared with ntfs_scan_bench.sh). Needs root (FUSE); drops
# the page cache before each run when it can.
#   bench/recover_bench.sh [path/to/quenlar]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
quenlar=${1:-$root/build/quenlar}
cache=$root/bench/.cache
big=$cache/ntfs-fragmented.img
mkdir -p "$cache"

if [ ! -f "$big" ]; then
  echo "making $big ..." >&2
  truncate -s 1536M "$big.tmp"
  mkntfs -F -f -q "$big.tmp" >/dev/null 2>&1
  mnt=$(mktemp -d)
  ntfs-3g "$big.tmp" "$mnt"
  # Fill the volume with 1 MiB files, free every other one, then write the
  # large file into the holes: one extent per hole.
  python3 - "$mnt" <<'PY'
import os, sys
mnt = sys.argv[1]
block = os.urandom(1 << 20)
os.mkdir(f"{mnt}/fill")
n = 0
try:
    while True:
        with open(f"{mnt}/fill/{n:05d}", "wb") as f:
            f.write(block)
        n += 1
except OSError:
    pass
for i in range(0, n, 2):
    os.remove(f"{mnt}/fill/{i:05d}")
os.sync()
with open(f"{mnt}/large.bin", "wb") as b:
    for i in range(min(512, n // 2 - 8)):
        b.write(block[i:] + block[:i])
PY
  umount "$mnt"; rmdir "$mnt"
  mv "$big.tmp" "$big"
fi
[ -f "$cache/ntfs-20k.img" ] || "$root/bench/ntfs_scan_bench.sh" "$quenlar" >/dev/null
small=$cache/ntfs-20k.img

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
. "$root/bench/timing.sh"
BENCH_BEFORE_RUN='rm -rf "$work/out"'

inode=$(ifind -n large.bin "$big")
index=$("$quenlar" scan --json "$big" | python3 -c '
import json,sys
for l in sys.stdin:
    r=json.loads(l)
    if r["name"]=="large.bin": print(r["index"]); break')
bytes=$("$quenlar" scan --json "$big" | python3 -c '
import json,sys
for l in sys.stdin:
    r=json.loads(l)
    if r["name"]=="large.bin": print(r["size"]); break')
extents=$("$quenlar" scan --json "$big" | python3 -c '
import json,sys
for l in sys.stdin:
    r=json.loads(l)
    if r["name"]=="large.bin": print(len(r["extents"])); break')

printf "large fragmented file: %d MiB in %s extents\n" $((bytes >> 20)) "$extents"
printf "%-40s %9s %9s\n" "" "seconds" "MiB/s"
row() { printf "%-40s %9.3f %9.0f\n" "$1" "$2" "$(awk -v b="$3" -v t="$2" 'BEGIN{print (t > 0 ? b / 1048576 / t : 0)}')"; }
t=$(seconds icat "$big" "$inode"); row "icat > /dev/null" "$t" "$bytes"
t=$(seconds sh -c "mkdir -p '$work/out' && icat '$big' $inode > '$work/out/large.bin'"); row "icat > file" "$t" "$bytes"
cp "$work/out/large.bin" "$work/icat.bin"
t=$(seconds "$quenlar" recover "$big" --dest "$work/out" --index "$index"); row "quenlar recover (scan included)" "$t" "$bytes"
cmp -s "$work/icat.bin" "$work/out/large.bin" && echo "  same bytes as icat" || echo "  DIFFERENT bytes from icat"

echo
files=$("$quenlar" scan --json "$small" | python3 -c 'import json,sys; print(sum(1 for l in sys.stdin if json.loads(l)["dir"]==0))')
total=$("$quenlar" scan --json "$small" | python3 -c 'import json,sys; print(sum(json.loads(l)["size"] for l in sys.stdin))')
printf "many small files: %s files, %d MiB\n" "$files" $((total >> 20))
t=$(seconds tsk_recover -e "$small" "$work/out"); row "tsk_recover -e" "$t" "$total"
tsk=$(find "$work/out" -type f | wc -l)
t=$(seconds "$quenlar" recover "$small" --dest "$work/out" --all); row "quenlar recover --all (scan included)" "$t" "$total"
echo "  tsk_recover wrote $tsk files, quenlar $(find "$work/out" -type f | wc -l)"
