#!/usr/bin/env bash
# Scans at 100,000 and 2,000,000 files, side by side with their peers and
# limits in one run, on volumes written by bench/mkvolume.py (kept in
# bench/.cache; the 2,000,000-file ones take about a minute each to make):
#   - NTFS normal scan vs. ntfsundelete --scan, fls -r -p and dd of the $MFT
#   - NTFS deep scan (its deep part: deep minus normal) vs. dd of the volume,
#     and the same with the $MFT cached against dd of what follows the $MFT
#   - FAT32 scan vs. fls -r -p
#   - memory per found file: peak RSS of the scan minus that of the same
#     scan of an empty volume, over the results
#   - the evidence pass (the verdicts) inside the NTFS normal scan, from the
#     log, against the normal scan's time
# Prints one table: our figure, the peer's or limit's, and the ratio.
#   bench/scale_bench.sh [path/to/quenlar] [counts...]    (default 100000 2000000)
# BENCH_RUNS (default 3) sets how many runs each time is the median of; the
# page cache is dropped before each run when the machine allows it. A peer
# that takes longer than BENCH_PEER_LIMIT seconds (default 300) is run once
# and shown as "> limit" when it does not finish.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
quenlar=$(realpath "${1:-$root/build/quenlar}")
shift || true
counts=("$@")
[ ${#counts[@]} -gt 0 ] || counts=(100000 2000000)
cache=$root/bench/.cache
mkdir -p "$cache"
runs=${BENCH_RUNS:-3}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
. "$root/bench/timing.sh"

median() {  # the median of $runs cold runs of a command, its output thrown away
  local all=()
  for _ in $(seq "$runs"); do drop; all+=("$(once "$@")"); done
  printf "%s\n" "${all[@]}" | sort -g | sed -n "$(((runs + 1) / 2))p"
}
peer_limit=${BENCH_PEER_LIMIT:-300}
peer() {  # like median, for a peer that may take very long: one run when the first is slow
  local first
  drop
  first=$(once timeout "$peer_limit" "$@")
  if awk -v t="$first" -v l="$peer_limit" 'BEGIN{exit !(t >= l - 0.5)}'; then
    echo "> $peer_limit"
  elif awk -v t="$first" 'BEGIN{exit !(t > 30)}'; then
    echo "$first"
  else
    median "$@"
  fi
}
peak_kb() { /usr/bin/time -f %M "$@" 2>&1 >/dev/null | tail -1; }

image() {  # image KIND N -> path, made once
  local kind=$1 n=$2 path=$cache/gen-$1-$2.img
  if [ ! -f "$path" ]; then
    echo "making $path ..." >&2
    case $kind in
      ntfs) python3 "$root/bench/mkvolume.py" ntfs "$path.tmp" --files "$n" --stray $((n / 100)) --min-size $((4 << 30)) ;;
      fat32) python3 "$root/bench/mkvolume.py" fat32 "$path.tmp" --files "$n" --cluster 1024 --min-size $((1 << 30)) ;;
    esac
    mv "$path.tmp" "$path"
  fi
  echo "$path"
}

rows=()
row() {  # work, files, ours, peer, theirs, ratio
  rows+=("$(printf "| %s | %s | %s | %s | %s | %s |" "$@")")
}
ratio() {  # "< x" when the peer did not finish
  case $2 in "> "*) awk -v a="$1" -v b="${2#> }" 'BEGIN{printf "< %.3f", a / b}' ;;
    *) awk -v a="$1" -v b="$2" 'BEGIN{printf "%.2f", (b > 0) ? a / b : 0}' ;; esac
}
per_file() { awk -v a="$1" -v b="$2" -v n="$3" 'BEGIN{printf "%.0f B", (a - b) * 1024 / n}'; }

empty_ntfs=$(image ntfs 0)
empty_fat=$(image fat32 0)
base_ntfs=$(peak_kb "$quenlar" scan --json "$empty_ntfs")
base_fat=$(peak_kb "$quenlar" scan --json "$empty_fat")

for n in "${counts[@]}"; do
  files=$(printf "%'d" "$n")
  img=$(image ntfs "$n")
  bytes=$(stat -c %s "$img")
  probe=$("$quenlar" probe --json "$img")
  cluster=$(python3 -c 'import json,sys; print(json.loads(sys.argv[1])["clusterBytes"])' "$probe")
  mft=$(python3 -c 'import json,sys; print(" ".join("%d:%d" % (r["lcn"], r["length"]) for r in json.loads(sys.argv[1])["mftRuns"]))' "$probe")
  read_mft() { for run in $mft; do dd if="$img" bs="$cluster" skip="${run%%:*}" count="${run##*:}" status=none of=/dev/null; done; }

  normal=$(median "$quenlar" scan --json "$img")
  undelete=$(peer ntfsundelete --scan "$img")
  fls_t=$(peer fls -r -p "$img")
  mft_t=$(median read_mft)
  deep=$(median "$quenlar" scan --deep --json "$img")
  dd_t=$(median dd if="$img" of=/dev/null bs=1M status=none)
  found=$("$quenlar" scan --json "$img" | wc -l)
  deep_found=$("$quenlar" scan --deep --json "$img" | wc -l)
  kb=$(peak_kb "$quenlar" scan --json "$img")
  deep_part=$(awk -v d="$deep" -v s="$normal" 'BEGIN{print (d - s > 0.001) ? d - s : 0.001}')
  ours_rate=$(awk -v b="$bytes" -v t="$deep_part" 'BEGIN{printf "%.0f", b / 1048576 / t}')
  dd_rate=$(awk -v b="$bytes" -v t="$dd_t" 'BEGIN{printf "%.0f", b / 1048576 / t}')
  # The same with the $MFT in the cache and the rest cold, against dd of
  # just what follows the $MFT: cold runs of the whole volume vary more, on
  # a virtual disk, than the difference between the two.
  mft_end=$(python3 -c 'import json,sys; p=json.loads(sys.argv[1]); print(max((r["lcn"] + r["length"]) * p["clusterBytes"] for r in p["mftRuns"]))' "$probe")
  warm_mft() { drop; read_mft; }
  after_mft() { dd if="$img" of=/dev/null bs=1M iflag=skip_bytes skip="$mft_end" status=none; }
  deep_w=() normal_w=() dd_w=()
  for _ in $(seq "$runs"); do
    warm_mft; dd_w+=("$(once after_mft)")
    warm_mft; deep_w+=("$(once "$quenlar" scan --deep --json "$img")")
    normal_w+=("$(once "$quenlar" scan --json "$img")")
  done
  mid() { printf "%s\n" "$@" | sort -g | sed -n "$((($# + 1) / 2))p"; }
  part_w=$(awk -v d="$(mid "${deep_w[@]}")" -v s="$(mid "${normal_w[@]}")" 'BEGIN{print (d - s > 0.001) ? d - s : 0.001}')
  rest=$((bytes - mft_end))
  ours_w=$(awk -v b="$rest" -v t="$part_w" 'BEGIN{printf "%.0f", b / 1048576 / t}')
  dd_wr=$(awk -v b="$rest" -v t="$(mid "${dd_w[@]}")" 'BEGIN{printf "%.0f", b / 1048576 / t}')

  row "NTFS normal scan ($found results)" "$files" "$normal s" "ntfsundelete --scan" "$undelete s" "$(ratio "$normal" "$undelete")"
  row "NTFS normal scan" "$files" "$normal s" "fls -r -p" "$fls_t s" "$(ratio "$normal" "$fls_t")"
  row "NTFS normal scan" "$files" "$normal s" "dd of the \$MFT" "$mft_t s" "$(ratio "$normal" "$mft_t")"
  row "NTFS deep part ($deep_found results)" "$files" "$ours_rate MiB/s" "dd bs=1M of the volume" "$dd_rate MiB/s" "$(ratio "$ours_rate" "$dd_rate")"
  row "NTFS deep part, \$MFT cached" "$files" "$ours_w MiB/s" "dd bs=1M after the \$MFT" "$dd_wr MiB/s" "$(ratio "$ours_w" "$dd_wr")"
  row "NTFS memory a found file" "$files" "$(per_file "$kb" "$base_ntfs" "$found")" "-" "-" "-"
  # The last normal scan's evidence pass, as its log gives it.
  evidence=$(grep -o 'Evidence of [0-9]* results in [0-9]* ms' Recovery.log | tail -1 | awk '{printf "%.3f", $6 / 1000}')
  row "NTFS evidence pass (in the normal scan)" "$files" "$evidence s" "the normal scan, warm" "$(mid "${normal_w[@]}") s" "$(ratio "$evidence" "$(mid "${normal_w[@]}")")"

  img=$(image fat32 "$n")
  fat=$(median "$quenlar" scan --json "$img")
  fls_f=$(peer fls -r -p "$img")
  found=$("$quenlar" scan --json "$img" | wc -l)
  kb=$(peak_kb "$quenlar" scan --json "$img")
  row "FAT32 scan ($found results)" "$files" "$fat s" "fls -r -p" "$fls_f s" "$(ratio "$fat" "$fls_f")"
  row "FAT32 memory a found file" "$files" "$(per_file "$kb" "$base_fat" "$found")" "-" "-" "-"
done

echo "| work | files | ours | peer or limit | theirs | ratio |"
echo "|---|---|---|---|---|---|"
printf "%s\n" "${rows[@]}"
