#!/usr/bin/env bash
# LZNT1 decompression rate (MiB/s of output) against The Sleuth Kit, in one
# run: a 256 MiB compressible file in a folder ntfs-3g compresses, read back
# by icat and recovered by quenlar, to /dev/null and to a file. The image is
# made once with mkntfs + ntfs-3g and kept in bench/.cache. Needs root (FUSE);
# drops the page cache before each run when it can.
#   bench/lznt1_bench.sh [path/to/quenlar]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
quenlar=${1:-$root/build/quenlar}
cache=$root/bench/.cache
image=$cache/ntfs-compressed.img
mkdir -p "$cache"

if [ ! -f "$image" ]; then
  echo "making $image ..." >&2
  truncate -s 512M "$image.tmp"
  mkntfs -F -f -q -c 4096 "$image.tmp" >/dev/null 2>&1
  mnt=$(mktemp -d)
  ntfs-3g "$image.tmp" "$mnt"
  mkdir "$mnt/c"
  setfattr -n system.ntfs_attrib_be -v 0x00000800 "$mnt/c"
  # Log lines, which compress about as well as documents do.
  python3 - "$mnt/c/large.txt" <<'PY'
import random, sys
rnd = random.Random(1)
levels = [b"INFO", b"INFO", b"INFO", b"DEBUG", b"WARN", b"ERROR"]
actions = [b"opened", b"read", b"wrote", b"closed", b"skipped", b"checked", b"queued", b"sent"]
with open(sys.argv[1], "wb") as f:
    written = 0
    line = 0
    while written < 256 << 20:
        text = b"2026-12-%02d %02d:%02d:%02d.%03d %s worker-%d %s item %d in %d ms\n" % (
            1 + line // 8000000, line // 360000 % 24, line // 6000 % 60, line // 100 % 60, line % 1000,
            rnd.choice(levels), rnd.randint(1, 8), rnd.choice(actions), rnd.randint(0, 999999), rnd.randint(0, 500))
        f.write(text)
        written += len(text)
        line += 1
    f.truncate(256 << 20)
PY
  umount "$mnt"; rmdir "$mnt"
  mv "$image.tmp" "$image"
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
. "$root/bench/timing.sh"
BENCH_BEFORE_RUN='rm -rf "$work/out"'

inode=$(ifind -n c/large.txt "$image")
read -r index bytes < <("$quenlar" scan --json "$image" | python3 -c '
import json,sys
for l in sys.stdin:
    r=json.loads(l)
    if r["name"]=="large.txt": print(r["index"], r["size"]); break')
ondisk=$(istat "$image" "$inode" | awk '/^[0-9 ]+$/ { for (i = 1; i <= NF; i++) if ($i != 0) n++ } END { print n * 4096 }')
printf "compressed file: %d MiB, %d MiB of clusters on the volume\n" $((bytes >> 20)) $((ondisk >> 20))
printf "%-40s %9s %9s\n" "" "seconds" "MiB/s"
row() { printf "%-40s %9.3f %9.0f\n" "$1" "$2" "$(awk -v b="$3" -v t="$2" 'BEGIN{print (t > 0 ? b / 1048576 / t : 0)}')"; }
t=$(seconds icat "$image" "$inode"); row "icat > /dev/null" "$t" "$bytes"
t=$(seconds sh -c "mkdir -p '$work/out' && icat '$image' $inode > '$work/out/large.txt'"); row "icat > file" "$t" "$bytes"
cp "$work/out/large.txt" "$work/icat.txt"
t=$(seconds "$quenlar" recover "$image" --dest "$work/out" --index "$index"); row "quenlar recover (scan included)" "$t" "$bytes"
cmp -s "$work/icat.txt" "$work/out/c/large.txt" && echo "  same bytes as icat" || echo "  DIFFERENT bytes from icat"
