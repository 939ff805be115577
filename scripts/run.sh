#!/usr/bin/env bash
# The main job: sets up, builds, and starts Quenlar with its UI on a volume
# (quenlar gui): the address of its window is printed, and a browser opens
# on it as the desktop user when there is a desktop. With no volume given it
# offers the built-in demo image, an NTFS volume made by mkntfs and ntfs-3g
# with existing and deleted files, beside the machine's own disks. Ctrl-C
# ends it (a running deep scan is saved for later).
#   scripts/run.sh [--cli] [VOLUME]
#   --cli: the command line instead: probe the volume, then scan it (the
#          normal scan, then the deep scan) and list every file found.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cli=0
if [ "${1:-}" = "--cli" ]; then cli=1; shift; fi
"$root/scripts/setup.sh"
"$root/scripts/build.sh" default >/dev/null

volume=${1:-}
if [ -z "$volume" ]; then
  volume="$root/build/demo/ntfs.img"
  if [ ! -f "$volume" ] || [ "$root/tests/images/ntfs.img.xz" -nt "$volume" ]; then
    mkdir -p "$root/build/demo"
    xz -dc "$root/tests/images/ntfs.img.xz" > "$volume"
  fi
  echo "No volume given: offering the demo image $volume" >&2
fi
if [ "$cli" = 1 ]; then
  "$root/build/quenlar" probe "$volume"
  echo
  exec "$root/build/quenlar" scan --deep "$volume"
fi
if [ -b "$volume" ] || [ -f "$volume" ]; then
  exec "$root/build/quenlar" gui "$volume"
fi
# A folder or mount point: the disk list names it; the UI offers every disk.
exec "$root/build/quenlar" gui
