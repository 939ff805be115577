#!/usr/bin/env bash
# Builds quenlar.exe for 64-bit Windows on Debian 12, with mingw-w64, and a
# zip of it with the README. Installs what it needs: the cross compiler,
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
packages=(g++-mingw-w64-x86-64-posix wine64 dpkg-dev tcl zip cmake ninja-build
          libboost1.81-dev nlohmann-json3-dev libcli11-dev googletest xz-utils)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q '^install ok installed$' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

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
(cd "$build" && rm -f quenlar-windows-x64.zip && cp "$root/README.md" README.md &&
 zip -q quenlar-windows-x64.zip quenlar.exe README.md && rm README.md)
echo "$build/quenlar.exe"
echo "$build/quenlar-windows-x64.zip"
