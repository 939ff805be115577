#!/usr/bin/env bash
# Builds quenlar.exe for 64-bit Windows on Debian 12, with mingw-w64, and a
# zip of it with its helper, the README, the icon and their SHA-256 list. Installs what it needs: the cross compiler,
# Wine (the tests run under it), and the sources the Windows build compiles
# itself: SQLite's amalgamation, made from Debian's sqlite3 source package,
# and GoogleTest from Debian's googletest. Boost, nlohmann-json and CLI11 are
# Debian's headers, through an include folder that holds only them.
#   scripts/build-windows.sh [--tests]     (--tests: also build the tests)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build-windows
deps=$build/deps
tests=OFF
[ "${1:-}" = "--tests" ] && tests=ON

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
packages=(g++-mingw-w64-x86-64-posix wine64 dpkg-dev tcl zip unzip cmake ninja-build
          libboost1.81-dev nlohmann-json3-dev libcli11-dev googletest xz-utils)
. "$root/scripts/apt.sh"
install_missing "${packages[@]}"

mkdir -p "$deps"
# SQLite's amalgamation (sqlite3.c), built from the source package.
if [ ! -f "$deps/sqlite/sqlite3.c" ]; then
  src_list=/etc/apt/sources.list.d/quenlar-debian-src.sources
  if ! apt-get source --print-uris sqlite3 >/dev/null 2>&1; then
    printf 'Types: deb-src\nURIs: http://deb.debian.org/debian\nSuites: bookworm bookworm-updates\nComponents: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n' |
      $SUDO tee "$src_list" >/dev/null
    $SUDO apt-get update -qq
  fi
  work=$(mktemp -d)
  (cd "$work" && apt-get source -qq --download-only sqlite3 >/dev/null &&
   tar -xf sqlite3_*.orig.tar.* && cd "$(find . -maxdepth 1 -mindepth 1 -type d | head -1)" &&
   if [ ! -f sqlite3.c ]; then ./configure -q >/dev/null && make -s sqlite3.c >/dev/null; fi)
  mkdir -p "$deps/sqlite"
  cp "$(find "$work" -name sqlite3.c | head -1)" "$(find "$work" -name sqlite3.h -path '*/sqlite3.h' | head -1)" "$deps/sqlite/"
  rm -rf "$work"
fi
# Headers of the libraries used header-only, and nothing else of /usr/include.
mkdir -p "$deps/include"
for d in boost nlohmann CLI; do
  ln -sfn "/usr/include/$d" "$deps/include/$d"
done

cd "$root"
cmake --preset windows -DQUENLAR_WINDOWS_DEPS="$deps" -DQUENLAR_TESTS=$tests >/dev/null
cmake --build --preset windows -j"$(nproc)"
# The zip: the program, its helper, the README as text with Windows line
# ends, the icon, and a SHA-256 list of them all; listed and hashed here.
pack=$build/zip
rm -rf "$pack" "$build/quenlar-windows-x64.zip"
mkdir -p "$pack"
cp "$build/quenlar.exe" "$build/BusyGlass.exe" "$pack/"
sed 's/$/\r/' "$root/README.md" > "$pack/README.txt"
cp "$root/src/windows/tallowin.ico" "$pack/quenlar.ico"
(cd "$pack" && sha256sum quenlar.exe BusyGlass.exe README.txt quenlar.ico | sed 's/$/\r/' > SHA256SUMS.txt &&
 zip -q -X "$build/quenlar-windows-x64.zip" quenlar.exe BusyGlass.exe README.txt quenlar.ico SHA256SUMS.txt)
unzip -l "$build/quenlar-windows-x64.zip"
tr -d '\r' < "$pack/SHA256SUMS.txt"
echo "$build/quenlar.exe"
echo "$build/quenlar-windows-x64.zip"
