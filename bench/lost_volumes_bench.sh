#!/usr/bin/env bash
# The disasters of formatted cards and lost partition tables, in one run:
#  - the deep scan (its folder search and record search) of a 4 GiB FAT32 and
#    a 4 GiB exFAT volume, each 3 GiB full and then quick-formatted, against
#    dd of the same volume;
#  - the partition search of a 4 GiB disk of two partitions whose MBR was
#    zeroed, quick and at every sector, against TestDisk's analysis.
# Each figure is the median of three runs with the page cache emptied first
# (where the machine allows it). The images are made once under bench/.cache
# (mtools, exfat-fuse on a loop device, sfdisk; root).
#   bench/lost_volumes_bench.sh [path/to/quenlar]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
quenlar=${1:-$root/build/quenlar}
cache=$root/bench/.cache
mkdir -p "$cache"
export MTOOLS_SKIP_CHECK=1
. "$root/bench/timing.sh"

fill() {  # 3 GiB of photos in folders under $1
  python3 - "$1" <<'PY'
import os, sys
top = sys.argv[1]
block = os.urandom(1 << 20)
for d in range(30):
    os.makedirs(f"{top}/DCIM/{100 + d}CANON")
    for i in range(25):
        with open(f"{top}/DCIM/{100 + d}CANON/IMG_{d * 25 + i:04d}.JPG", "wb") as f:
            f.write(b"\xff\xd8\xff\xe0\x00\x10JFIF\x00")
            for k in range(4):
                f.write(block[k * 7:] + block[:k * 7])
PY
}

fat=$cache/fat32-card-4g.img
if [ ! -f "$fat" ]; then
  echo "making $fat ..." >&2
  src=$(mktemp -d); fill "$src"
  truncate -s 4G "$fat.tmp"
  mkfs.vfat -F 32 "$fat.tmp" >/dev/null
  mcopy -s -i "$fat.tmp" "$src"/* ::/
  mkfs.vfat -F 32 "$fat.tmp" >/dev/null
  rm -rf "$src"; mv "$fat.tmp" "$fat"
fi

exfat=$cache/exfat-card-4g.img
if [ ! -f "$exfat" ]; then
  echo "making $exfat ..." >&2
  src=$(mktemp -d); fill "$src"
  truncate -s 4G "$exfat.tmp"
  mkfs.exfat "$exfat.tmp" >/dev/null
  mnt=$(mktemp -d); loop=$(losetup -f --show "$exfat.tmp")
  mount.exfat-fuse "$loop" "$mnt" >/dev/null 2>&1
  cp -r "$src"/* "$mnt"/; sync
  umount "$mnt"; losetup -d "$loop"
  mkfs.exfat "$exfat.tmp" >/dev/null
  rm -rf "$src" "$mnt"; mv "$exfat.tmp" "$exfat"
fi

disk=$cache/lost-mbr-4g.img
if [ ! -f "$disk" ]; then
  echo "making $disk ..." >&2
  truncate -s 4G "$disk.tmp"
  printf 'label: dos\nstart=2048, size=4194304, type=7\nstart=4196352, size=4190208, type=c\n' | sfdisk -q "$disk.tmp"
  part=$(mktemp); truncate -s 2G "$part"
  mkntfs -F -f -q -p 2048 "$part" >/dev/null 2>&1
  dd if="$part" of="$disk.tmp" bs=1M seek=1 conv=notrunc status=none
  truncate -s 0 "$part"; truncate -s $((4190208 * 512)) "$part"; mkfs.vfat -F 32 "$part" >/dev/null
  dd if="$part" of="$disk.tmp" bs=1M seek=$((4196352 / 2048)) conv=notrunc status=none
  rm -f "$part"
  dd if=/dev/zero of="$disk.tmp" bs=512 count=1 conv=notrunc status=none
  mv "$disk.tmp" "$disk"
fi

work=$(mktemp -d); trap 'rm -rf "$work"' EXIT
cd "$work"
row() { printf "%-52s %10s s\n" "$1" "$2"; }
echo "quenlar: $quenlar"
for img in "$fat" "$exfat"; do
  name=$(basename "$img")
  found=$("$quenlar" scan --deep --json "$img" 2>/dev/null | grep -c '"exist":30' || true)
  ours=$(seconds "$quenlar" scan --deep --json --discard-saved "$img")
  theirs=$(seconds dd if="$img" of=/dev/null bs=1M)
  row "$name: quenlar scan --deep ($found found)" "$ours"
  row "$name: dd bs=1M" "$theirs"
  awk -v a="$ours" -v b="$theirs" 'BEGIN{printf "%-52s %10.0f %%\n", "  rate against dd", 100 * b / a}'
done
n=$("$quenlar" partitions --json "$disk" | grep -o '"startSector"' | wc -l)
row "$(basename "$disk"): quenlar partitions ($n found)" "$(seconds "$quenlar" partitions "$disk")"
n=$("$quenlar" partitions --whole --json "$disk" | grep -o '"startSector"' | wc -l)
row "$(basename "$disk"): quenlar partitions --whole ($n found)" "$(seconds "$quenlar" partitions --whole "$disk")"
row "$(basename "$disk"): dd bs=1M" "$(seconds dd if="$disk" of=/dev/null bs=1M)"
if command -v testdisk >/dev/null; then
  row "$(basename "$disk"): testdisk /cmd analyze" "$(seconds testdisk /log /cmd "$disk" analyze)"
  grep -E "^ *[0-9]+ [PLD*] " testdisk.log | sed 's/^/  testdisk: /' | sort -u || true
fi
