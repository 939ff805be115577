#!/usr/bin/env bash
# The main job: sets up, builds, and reads a volume. With no volume given it
# reads the built-in demo image (an NTFS volume made by mkntfs and ntfs-3g).
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
exec "$root/build/quenlar" probe "$volume"
