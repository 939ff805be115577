#!/usr/bin/env bash
# The main job: sets up, builds, and scans a volume (the normal scan, then the
# deep scan; Ctrl-C pauses it and 'build/quenlar resume' goes on), listing
# every file found. With no volume given it scans the built-in demo image, an
# NTFS volume made by mkntfs and ntfs-3g with existing and deleted files.
#   scripts/run.sh [VOLUME]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
"$root/scripts/build.sh" default >/dev/null

volume=${1:-}
if [ -z "$volume" ]; then
  volume="$root/build/demo/ntfs.img"
  if [ ! -f "$volume" ] || [ "$root/tests/images/ntfs.img.xz" -nt "$volume" ]; then
    mkdir -p "$root/build/demo"
    xz -dc "$root/tests/images/ntfs.img.xz" > "$volume"
  fi
  echo "No volume given: reading the demo image $volume" >&2
fi
"$root/build/quenlar" probe "$volume"
echo
exec "$root/build/quenlar" scan --deep "$volume"
