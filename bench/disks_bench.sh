#!/usr/bin/env bash
# How long the disk list takes on a machine with a few dozen block devices:
# loop disks with GPT or MBR tables (four partitions each, file systems on
# some, one of them mounted), against lsblk and a blkid -p of every device.
# Needs root. Usage: bench/disks_bench.sh [QUENLAR] [DISKS]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
quenlar=${1:-$here/../build/quenlar}
count=${2:-24}
source "$here/timing.sh"

work=$(mktemp -d)
loops=()
cleanup() {
  umount "$work/mnt" 2>/dev/null || true
  for l in "${loops[@]}"; do losetup -d "$l" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

for i in $(seq 1 "$count"); do
  img=$work/disk$i.img
  truncate -s 64M "$img"
  if (( i % 2 )); then
    printf 'label: gpt\n size=8M, type=C12A7328-F81F-11D2-BA4B-00A0C93EC93B\n size=4M, type=E3C9E316-0B5C-4DB8-817D-F92DF00215AE\n size=24M\n size=16M\n' | sfdisk -q "$img"
  else
    printf 'label: dos\n size=8M, type=7, bootable\n size=16M, type=c\n type=5\n size=16M, type=7\n' | sfdisk -q "$img"
  fi
  l=$(losetup -f --show -P "$img")
  loops+=("$l")
  partx -a "$l" 2>/dev/null || true
  (( i % 4 == 1 )) && mkntfs -Q -q -L "D$i" "${l}p3" >/dev/null 2>&1
  (( i % 4 == 2 )) && mkfs.vfat -F 32 -n "F$i" "${l}p2" >/dev/null 2>&1
done
mkdir -p "$work/mnt"
ntfs-3g "${loops[0]}p3" "$work/mnt"

devices=$(ls /sys/class/block | wc -l)
every_blkid() { for d in /sys/class/block/*; do blkid -p "/dev/${d##*/}"; done; }

"$quenlar" disks --json >/dev/null  # warm the binary
echo "Block devices: $devices ($count loop disks with their partitions)"
printf "%-40s %8s\n" "run" "seconds"
printf "%-40s %8s\n" "quenlar disks --json" "$(seconds "$quenlar" disks --json)"
printf "%-40s %8s\n" "lsblk --json -b -O" "$(seconds lsblk --json -b -O)"
printf "%-40s %8s\n" "blkid -p of every device" "$(seconds every_blkid)"
