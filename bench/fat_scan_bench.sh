#!/usr/bin/env bash
# FAT32 and exFAT scans against fls -r -p on the same images, in one run.
# Each image is 1 GiB with 20,000 files in 200 folders, a fifth of them
# deleted; on FAT32 the deleted entries' high words are cleared as Windows
# does, so the start search runs. Made once (mkfs.vfat + mtools, mkfs.exfat +
# exfat-fuse on a loop device; root) and kept in bench/.cache.
#   bench/fat_scan_bench.sh [path/to/quenlar]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
quenlar=${1:-$root/build/quenlar}
cache=$root/bench/.cache
mkdir -p "$cache"
export MTOOLS_SKIP_CHECK=1

tree() {  # the 20,000 files, in a folder
  python3 - "$1" <<'PY'
import os, sys
top = sys.argv[1]
for d in range(200):
    os.makedirs(f"{top}/d{d:03d}")
    for i in range(100):
        with open(f"{top}/d{d:03d}/f{i:03d}.jpg", "wb") as f:
            f.write(b"\xff\xd8\xff\xe0\x00\x10JFIF\x00" + os.urandom(100 + 37 * i))
PY
}

fat=$cache/fat32-20k.img
if [ ! -f "$fat" ]; then
  echo "making $fat ..." >&2
  src=$(mktemp -d); tree "$src"
  truncate -s 1G "$fat.tmp"
  mkfs.vfat -F 32 "$fat.tmp" >/dev/null
  mcopy -s -i "$fat.tmp" "$src"/* ::/
  for d in $(seq 0 5 199); do mdel -i "$fat.tmp" "::/d$(printf %03d "$d")/*"; done
  python3 - "$fat.tmp" <<'PY'
import sys
# Clear the high word of every deleted short entry, as Windows does.
img = sys.argv[1]
with open(img, "r+b") as f:
    b = f.read(512)
    bps = int.from_bytes(b[11:13], "little"); spc = b[13]
    res = int.from_bytes(b[14:16], "little"); nf = b[16]
    spf = int.from_bytes(b[36:40], "little"); root = int.from_bytes(b[44:48], "little")
    data = (res + nf * spf) * bps; cb = spc * bps
    def chain(c):
        while 2 <= c < 0x0FFFFFF8:
            yield c
            f.seek(res * bps + 4 * c); c = int.from_bytes(f.read(4), "little") & 0x0FFFFFFF
    todo = [root]; seen = set()
    while todo:
        d = todo.pop()
        if d in seen: continue
        seen.add(d)
        for c in list(chain(d)):
            f.seek(data + (c - 2) * cb); blk = bytearray(f.read(cb))
            for at in range(0, cb, 32):
                e = blk[at:at + 32]
                if e[0] == 0: break
                if e[11] == 0x0F: continue
                if e[0] == 0xE5: blk[at + 20:at + 22] = b"\0\0"
                elif e[11] & 0x10 and e[0] != 0x2E:
                    todo.append(int.from_bytes(e[20:22], "little") << 16 | int.from_bytes(e[26:28], "little"))
            f.seek(data + (c - 2) * cb); f.write(blk)
PY
  rm -rf "$src"; mv "$fat.tmp" "$fat"
fi

exfat=$cache/exfat-20k.img
if [ ! -f "$exfat" ]; then
  echo "making $exfat ..." >&2
  truncate -s 1G "$exfat.tmp"
  mkfs.exfat "$exfat.tmp" >/dev/null
  loop=$(losetup -f --show "$exfat.tmp"); mnt=$(mktemp -d)
  mount.exfat-fuse "$loop" "$mnt" >/dev/null 2>&1
  tree "$mnt"
  for d in $(seq 0 5 199); do rm -f "$mnt/d$(printf %03d "$d")"/*; done
  umount "$mnt"; losetup -d "$loop"; rmdir "$mnt"
  mv "$exfat.tmp" "$exfat"
fi

. "$root/bench/timing.sh"
work=$(mktemp -d); trap 'rm -rf "$work"' EXIT; cd "$work"
printf "%-32s %9s %9s %8s\n" "cold cache, median of 3" "quenlar" "fls -r -p" "ratio"
for img in "$fat" "$exfat"; do
  q=$(seconds "$quenlar" scan --json "$img")
  t=$(seconds fls -r -p "$img")
  printf "%-32s %9.3f %9.3f %7.1fx\n" "$(basename "$img")" "$q" "$t" "$(awk -v q="$q" -v t="$t" 'BEGIN{print (q > 0 ? t / q : 0)}')"
  echo "  $("$quenlar" scan --json "$img" | wc -l) results; fls: $(fls -r -p "$img" | wc -l) lines, $(fls -r -p -d "$img" | wc -l) deleted"
done
