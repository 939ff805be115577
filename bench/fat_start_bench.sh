#!/usr/bin/env bash
# What the FAT32 start search reads, and the FAT32 scan against fls.
#
# 1. A 300 GB FAT32 volume (32 KiB clusters, so 140 high words a deleted
#    entry's start may have) with 5,000, 10,000 and 40,000 deleted JPEGs
#    spread over the whole volume, their high words cleared as Windows
#    leaves them (bench/mkvolume.py --photos --spread; sparse, a few hundred
#    MB on disk each). For each: bytes and reads the scan asked of the
#    device (as its log says; for a program whose log does not, the
#    kernel's count of its reads, /proc/PID/io rchar and syscr, which do not
#    count reads handed over in batches), its time, and the bound the
#    README states: the FAT and the folders plus 512 bytes per distinct
#    candidate cluster. With a second program (an older build) it is
#    measured too.
# 2. The FAT32 scan of a 1 GiB volume of 50,000 files, a fifth deleted with
#    their high words cleared, read cold, against fls -r -p (median of 3).
#
#   bench/fat_start_bench.sh [path/to/quenlar] [path/to/older/quenlar]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
quenlar=$(realpath "${1:-$root/build/quenlar}")
older=${2:-}
[ -z "$older" ] || older=$(realpath "$older")
cache=$root/bench/.cache
mkdir -p "$cache"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
. "$root/bench/timing.sh"

image() {  # image NAME ARGS... -> path, made once
  local path=$cache/$1.img
  shift
  if [ ! -f "$path" ]; then
    echo "making $path ..." >&2
    python3 "$root/bench/mkvolume.py" fat32 "$path.tmp" "$@" >&2
    mv "$path.tmp" "$path"
  fi
  echo "$path"
}

# seconds, bytes read, reads of one cold run of a scan
measure() {
  drop
  rm -f Recovery.log
  python3 - "$@" <<'PY'
import os, re, subprocess, sys, time
start = time.time()
p = subprocess.Popen(sys.argv[1:], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
os.waitid(os.P_PID, p.pid, os.WEXITED | os.WNOWAIT)  # its counters, before it is reaped
io = dict(line.split(": ") for line in open(f"/proc/{p.pid}/io").read().splitlines())
p.wait()
seconds = time.time() - start
said = re.findall(r"Normal scan of .* read (\d+) bytes in (\d+) reads",
                  open("Recovery.log", errors="replace").read() if os.path.exists("Recovery.log") else "")
read, reads = (int(said[-1][0]), int(said[-1][1])) if said else (int(io["rchar"]), int(io["syscr"]))
print(f"{seconds:.2f} {read} {reads}")
PY
}

gib() { awk -v b="$1" 'BEGIN{printf "%.2f GiB", b / 2^30}'; }

echo "== The start search on a 300 GB volume, 32 KiB clusters"
printf "%-8s %-10s %10s %14s %10s %14s\n" files program seconds read reads bound
for n in 5000 10000 40000; do
  img=$(image "fat32-300g-$n" --files "$n" --deleted-every 1 --folders $((n / 100)) --cluster 32768 \
        --min-size $((300 * 1000 * 1000 * 1000)) --photos --spread)
  # The bound: the FAT (read once) and the folders, and a sector per
  # distinct candidate cluster: every high word of each distinct low half.
  bound=$(python3 - "$img" <<'PY'
import struct, sys
with open(sys.argv[1], "rb") as f:
    b = f.read(512)
    spc = b[13]
    res, = struct.unpack_from("<H", b, 14)
    total, spf = struct.unpack_from("<II", b, 0x20)
    clusters = (total - res - b[16] * spf) // spc + 2
    highs = ((clusters - 1) >> 16) + 1
    # The FAT, and the clusters in use: every file is deleted, so those are
    # the folders'.
    f.seek(res * 512)
    table = memoryview(f.read(spf * 512)).cast("I")
    used = sum(1 for v in table[2:clusters] if v != 0)
    print(spf * 512 + used * spc * 512, highs)
PY
)
  meta=${bound% *}; highs=${bound#* }
  lows=$(python3 -c "print(min($n, 65536))")
  limit=$((meta + 512 * lows * highs))
  for prog in "$quenlar" $older; do
    read -r s bytes reads < <(measure "$prog" scan --json "$img")
    printf "%-8s %-10s %10s %14s %10s %14s\n" "$n" "$([ "$prog" = "$quenlar" ] && echo this || echo older)" "$s" \
      "$(gib "$bytes")" "$reads" "$(gib "$limit")"
  done
done

echo
echo "== FAT32 scan of 50,000 files (1 KiB clusters, 1 GiB), cold, median of 3, against fls -r -p"
img=$(image fat32-50k --files 50000 --cluster 1024 --min-size $((1 << 30)))
ours=$(seconds "$quenlar" scan --json "$img")
theirs=$(seconds fls -r -p "$img")
printf "quenlar scan %ss, fls -r -p %ss: %s times as fast\n" "$ours" "$theirs" \
  "$(awk -v a="$ours" -v b="$theirs" 'BEGIN{printf "%.1f", b / a}')"
if [ -n "$older" ]; then
  printf "older quenlar scan %ss\n" "$(seconds "$older" scan --json "$img")"
fi
