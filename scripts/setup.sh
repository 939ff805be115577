#!/usr/bin/env bash
# Installs what the build, the tests and the fixture images need on Debian 12.
# Safe to run again: apt-get skips what is already there.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  clang libclang-rt-14-dev
  libgtest-dev googletest
  libcli11-dev
  libsqlite3-dev
  libblkid-dev
  fdisk
  sleuthkit
  testdisk
  ntfs-3g
  dosfstools mtools
  libimage-exiftool-perl
  exfatprogs exfat-fuse
  fuse3 libfuse3-dev
  attr
  xz-utils 7zip
  python3
  libboost1.81-dev nlohmann-json3-dev
  chromium fonts-liberation
)
# Node.js and npm for the UI tests: Debian's, unless the machine has its own.
command -v node >/dev/null && command -v npm >/dev/null || packages+=(nodejs npm)

. "$(dirname "$0")/apt.sh"
install_missing "${packages[@]}"

# The UI tests' Node packages (ws, playwright-core), as the lock file pins
# them; Playwright uses Debian's Chromium, so it downloads no browser.
root=$(cd "$(dirname "$0")/.." && pwd)
if [ ! -f "$root/tests/ui/node_modules/.package-lock.json" ] ||
   [ "$root/tests/ui/package-lock.json" -nt "$root/tests/ui/node_modules/.package-lock.json" ]; then
  (cd "$root/tests/ui" && PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1 npm ci --no-audit --no-fund --silent)
fi
