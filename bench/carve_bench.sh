#!/usr/bin/env bash
# The search by content on a 4 GiB FAT32 card, 3 GiB full of photos, movies,
# PNGs and PDFs, quick-formatted and with its old folders written over (so
# that only the files' content is left):
#  - the deep scan with the search by content, against the same deep scan
#    without it (--no-content) and against dd of the volume;
#  - PhotoRec on the same image: its time, and how many of the files it and
#    we give back byte-exact.
# Each time is the median of three runs with the page cache emptied first
# (where the machine allows it); PhotoRec runs once (it writes 3 GiB). The
# image is made once under bench/.cache (mtools, The Sleuth Kit; root).
#   bench/carve_bench.sh [path/to/quenlar]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
quenlar=${1:-$root/build/quenlar}
cache=$root/bench/.cache
mkdir -p "$cache"
export MTOOLS_SKIP_CHECK=1
. "$root/bench/timing.sh"

card=$cache/fat32-carve-4g.img
digests=$cache/fat32-carve-4g.sha256
if [ ! -f "$card" ]; then
  echo "making $card ..." >&2
  src=$(mktemp -d)
  python3 - "$src" "$digests" <<'PY'
import hashlib, os, random, sys, zlib
top, digests = sys.argv[1], sys.argv[2]
rnd = random.Random(7)
pool = os.urandom(64 << 20).translate(bytes(range(255)) + b"\xfe")  # no 0xFF: JPEG scans hold none
def body(n):
    at = rnd.randrange(0, len(pool) - n)
    return pool[at:at + n]
def jpeg(n):
    head = (b"\xff\xd8\xff\xe0\x00\x10JFIF\x00\x01\x01\x00\x00\x01\x00\x01\x00\x00"
            b"\xff\xdb\x00\x43\x00" + bytes(range(1, 65)) +
            b"\xff\xc0\x00\x11\x08\x00\x10\x00\x10\x03\x01\x22\x00\x02\x11\x01\x03\x11\x01"
            b"\xff\xda\x00\x0c\x03\x01\x00\x02\x11\x03\x11\x00\x3f\x00")
    return head + body(n) + b"\xff\xd9"
def chunk(kind, data):
    return len(data).to_bytes(4, "big") + kind + data + zlib.crc32(kind + data).to_bytes(4, "big")
def png(n):
    out = [b"\x89PNG\r\n\x1a\n", chunk(b"IHDR", (640).to_bytes(4, "big") * 2 + b"\x08\x02\x00\x00\x00")]
    for at in range(0, n, 1 << 16):
        out.append(chunk(b"IDAT", body(min(1 << 16, n - at))))
    return b"".join(out + [chunk(b"IEND", b"")])
def box(kind, data):
    return (8 + len(data)).to_bytes(4, "big") + kind + data
def mp4(n):
    return (box(b"ftyp", b"isom\x00\x00\x02\x00isomiso2mp41") + box(b"mdat", body(n)) +
            box(b"moov", box(b"mvhd", bytes(100))))
def pdf(n):
    return b"%PDF-1.4\n" + body(n) + b"\ntrailer\n<< /Root 1 0 R >>\n%%EOF\n"
made = [("jpg", jpeg, 1 << 20, 4 << 20, 1900 << 20), ("mp4", mp4, 20 << 20, 60 << 20, 600 << 20),
        ("png", png, 1 << 20, 3 << 20, 300 << 20), ("pdf", pdf, 200 << 10, 1 << 20, 200 << 10 << 10)]
with open(digests, "w") as out:
    for ext, make, low, high, total in made:
        n, done = 0, 0
        while done < total:
            folder = f"{top}/{ext.upper()}{n // 100:03d}"
            os.makedirs(folder, exist_ok=True)
            data = make(rnd.randrange(low, high))
            with open(f"{folder}/f{n:05d}.{ext}", "wb") as f:
                f.write(data)
            out.write(f"{hashlib.sha256(data).hexdigest()}  {ext}\n")
            n, done = n + 1, done + len(data)
PY
  truncate -s 4G "$card.tmp"
  mkfs.vfat -F 32 "$card.tmp" >/dev/null
  mcopy -s -i "$card.tmp" "$src"/* ::/
  # The old folders' sectors, written over once the card is formatted.
  sectors=$(fls -f fat -r -D -p "$card.tmp" | awk '{print $(NF-1)}' | tr -d ':' | grep -E '^[0-9]+$' |
            while read -r meta; do istat -f fat "$card.tmp" "$meta" | sed -n '/^Sectors:/,$p' | tail -n +2; done)
  mkfs.vfat -F 32 "$card.tmp" >/dev/null
  for s in $sectors; do dd if=/dev/zero of="$card.tmp" bs=512 seek="$s" count=1 conv=notrunc status=none; done
  rm -rf "$src"; mv "$card.tmp" "$card"
fi

export BENCH_FILES=$card
work=$(mktemp -d); trap 'rm -rf "$work"' EXIT
cd "$work"
row() { printf "%-58s %10s\n" "$1" "$2"; }
echo "quenlar: $quenlar"
files=$(wc -l < "$digests")
# Byte-exact files among those under $1.
exact() { find "$1" -type f ! -name 'quenlar-receipt*' -exec sha256sum {} + | awk '{print $1}' | sort -u |
          join - <(awk '{print $1}' "$digests" | sort -u) | wc -l; }

with=$(seconds "$quenlar" scan --deep --json --discard-saved "$card")
without=$(seconds "$quenlar" scan --deep --no-content --json --discard-saved "$card")
plain=$(seconds dd if="$card" of=/dev/null bs=1M)
row "quenlar scan --deep (with the search by content)" "$with s"
row "quenlar scan --deep --no-content" "$without s"
row "dd bs=1M" "$plain s"
awk -v a="$with" -v b="$without" 'BEGIN{printf "%-58s %10.0f %%\n", "  the search by content adds", 100 * (a - b) / b}'
awk -v a="$with" -v b="$plain" 'BEGIN{printf "%-58s %10.0f %%\n", "  rate against dd", 100 * b / a}'
row "  peak memory of the deep scan" "$(/usr/bin/time -f "%M" "$quenlar" scan --deep --json --discard-saved "$card" 2>&1 >/dev/null | tail -1) KiB"

drop
s=$(date +%s.%N)
"$quenlar" recover "$card" --deep --all --dest "$work/ours" >/dev/null 2>&1 || true
row "quenlar recover --deep --all" "$(awk -v s="$s" -v e="$(date +%s.%N)" 'BEGIN{print e-s}') s"
row "  byte-exact of $files files written" "$(exact "$work/ours")"
rm -rf "$work/ours"
if command -v photorec >/dev/null; then
  drop
  mkdir -p "$work/theirs"
  s=$(date +%s.%N)
  photorec /log /d "$work/theirs/out" /cmd "$card" partition_none,options,mode_ext2,fileopt,everything,enable,search \
    >/dev/null 2>&1 || true
  row "photorec (whole image, every kind)" "$(awk -v s="$s" -v e="$(date +%s.%N)" 'BEGIN{print e-s}') s"
  row "  byte-exact of $files files written" "$(exact "$work/theirs")"
fi
