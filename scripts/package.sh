#!/usr/bin/env bash
# Makes the Debian package of the program: build/quenlar_VERSION_amd64.deb,
# from the default build (built first if needed), with the man page made from
# the program's own help, the desktop entry (the window through pkexec, with
# a polkit action of its own), the icon, the README, the copyright file and
# the dependencies dpkg-shlibdeps finds. Checks the desktop entry with
# desktop-file-validate and the package with lintian (an error fails it).
# Installs what it needs: dpkg-dev, lintian, desktop-file-utils, help2man.
#   scripts/package.sh [--no-lintian]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
check=yes
[ "${1:-}" = "--no-lintian" ] && check=no

. "$root/scripts/apt.sh"
install_missing dpkg-dev lintian desktop-file-utils help2man xz-utils

cmake --preset default >/dev/null
cmake --build --preset default -j "${JOBS:-2}" --target quenlar BusyGlass >/dev/null
version=$(build/quenlar --version | awk '{print $2}')
name=quenlar_${version}_amd64
stage=$root/build/package/$name
rm -rf "$stage"
mkdir -p "$stage/DEBIAN"

# The programs, stripped as Debian ships them; the helper in the package's
# own folder, where the program looks for it when it is not beside it.
strip_to() { install -D -m 0755 "$1" "$2"; strip --strip-unneeded --remove-section=.comment --remove-section=.note "$2"; }
strip_to build/quenlar "$stage/usr/bin/quenlar"
strip_to build/BusyGlass "$stage/usr/lib/quenlar/BusyGlass"

# The man page, from the program's own --help and --version, each command's
# help as a section of its own.
mkdir -p "$stage/usr/share/man/man1"
include=$(mktemp)
{
  cat packaging/quenlar.h2m
  echo "[COMMANDS]"
  for command in disks partitions probe scan resume tree ls filter recover verify gui; do
    echo ".SS \"quenlar $command\""
    echo ".nf"
    build/quenlar "$command" --help | sed -e 's/\\/\\e/g' -e "s/^\([.']\)/\\\\\&\1/"
    echo ".fi"
  done
} > "$include"
help2man --no-info --no-discard-stderr --section 1 --version-string "$version" \
  --name "find existing and deleted files on NTFS, FAT32 and exFAT volumes and copy them out" \
  --include "$include" --output "$stage/usr/share/man/man1/quenlar.1" build/quenlar
rm -f "$include"
gzip -9n "$stage/usr/share/man/man1/quenlar.1"

doc=$stage/usr/share/doc/quenlar
mkdir -p "$doc"
gzip -9nc README.md > "$doc/README.md.gz"
install -m 0644 packaging/copyright "$doc/copyright"
sed -e "s/@VERSION@/$version/" -e "s/@DATE@/$(date -R -d "@${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct 2>/dev/null || date +%s)}")/" \
  packaging/changelog | gzip -9n > "$doc/changelog.gz"

install -D -m 0644 packaging/quenlar.desktop "$stage/usr/share/applications/quenlar.desktop"
desktop-file-validate "$stage/usr/share/applications/quenlar.desktop"
install -D -m 0644 packaging/org.quenlar.gui.policy "$stage/usr/share/polkit-1/actions/org.quenlar.gui.policy"
install -D -m 0644 src/resources/logo.svg "$stage/usr/share/icons/hicolor/scalable/apps/quenlar.svg"

# The libraries the programs link against, as dpkg-shlibdeps finds them (it
# wants a source package's control file to stand in a debian/ folder).
shlibs=$(mktemp -d)
mkdir -p "$shlibs/debian"
printf 'Source: quenlar\nMaintainer: x <x@x.invalid>\n\nPackage: quenlar\nArchitecture: amd64\n' > "$shlibs/debian/control"
depends=$(cd "$shlibs" && dpkg-shlibdeps -O -e"$stage/usr/bin/quenlar" -e"$stage/usr/lib/quenlar/BusyGlass" 2>/dev/null |
          sed -n 's/^shlibs:Depends=//p')
rm -rf "$shlibs"

cat > "$stage/DEBIAN/control" <<CONTROL
Package: quenlar
Version: $version
Architecture: amd64
Maintainer: The Quenlar developers <developers@quenlar.invalid>
Installed-Size: $(du -sk "$stage/usr" | cut -f1)
Depends: $depends
Recommends: pkexec, xdg-utils
Suggests: chromium
Section: admin
Priority: optional
Description: find existing and deleted files and copy them out
 Quenlar reads a disk, a partition, a memory card or a disk image, finds the
 files of its NTFS, FAT32 or exFAT file system, deleted ones too, and copies
 the chosen ones to another folder. A deep scan also finds the folders of a
 formatted card, the volumes of a disk whose partition table is gone, and
 files by their content alone (photos named by the date they were taken).
 The volume is only ever read. It runs from the command line (quenlar) or as
 a window in the browser (quenlar gui, or the desktop entry).
CONTROL
(cd "$stage" && find usr -type f -print0 | sort -z | xargs -0 md5sum) > "$stage/DEBIAN/md5sums"
chmod 0644 "$stage/DEBIAN/control" "$stage/DEBIAN/md5sums"

deb=$root/build/$name.deb
dpkg-deb --root-owner-group -Zxz --build "$stage" "$deb" >/dev/null
dpkg-deb --contents "$deb"
if [ "$check" = yes ]; then
  lintian --fail-on error "$deb"
fi
echo "$deb"
