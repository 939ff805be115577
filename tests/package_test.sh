#!/usr/bin/env bash
# The Debian package as a user gets it: made by scripts/package.sh (lintian
# and desktop-file-validate pass there), installed with dpkg, the installed
# program asked its version and run on a test image, then removed, leaving
# none of its files behind. Needs root and dpkg (skipped otherwise), and no
# quenlar package installed before (that one is not touched).
#   tests/package_test.sh IMAGES
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
images=$1
if [ "$(id -u)" -ne 0 ] || ! command -v dpkg >/dev/null; then
  echo "skipped: needs root and dpkg"
  exit 77
fi
if dpkg-query -W -f='${Status}' quenlar 2>/dev/null | grep -q 'installed'; then
  echo "skipped: a quenlar package is installed already"
  exit 77
fi
deb=$("$root/scripts/package.sh" | tail -1)
files=$(dpkg-deb --contents "$deb" | awk '$1 !~ /^d/ {print $6}' | sed 's|^\./|/|')
trap 'dpkg -r quenlar >/dev/null 2>&1 || true; rm -rf "$work"' EXIT
work=$(mktemp -d)

dpkg -i "$deb"
expected="quenlar $(dpkg-query -W -f='${Version}' quenlar)"
got=$(/usr/bin/quenlar --version)
[ "$got" = "$expected" ] || { echo "version: '$got', the package says '$expected'"; exit 1; }
# The helper where the program looks for it; the man page where man finds it.
[ -x /usr/lib/quenlar/BusyGlass ] || { echo "BusyGlass is not installed"; exit 1; }
[ -f /usr/share/man/man1/quenlar.1.gz ] || { echo "no man page"; exit 1; }
cp "$images/fat32.img" "$work/"
(cd "$work" && /usr/bin/quenlar scan --json fat32.img > scan.json)
[ "$(wc -l < "$work/scan.json")" -gt 10 ] || { echo "the installed program found nothing"; exit 1; }
[ -f "$work/Recovery.log" ] || { echo "the log is not in the current folder"; exit 1; }

dpkg -r quenlar
left=0
for f in $files /usr/lib/quenlar /usr/share/doc/quenlar; do
  if [ -e "$f" ] || [ -L "$f" ]; then
    echo "left behind: $f"
    left=1
  fi
done
exit $left
