#!/usr/bin/env python3
"""The Windows program (quenlar.exe, from scripts/build-windows.sh) under
Wine against the Linux one: probe, scan, tree, ls, filter and recover give
the same JSON and the same files on every test image, and recovery of a
volume whose names Windows reserves or forbids writes every file inside the
destination under a name Windows can hold.

Skipped, saying why, when there is no quenlar.exe or no Wine."""
import hashlib
import json
import os
import shutil
import subprocess
import sys
import unittest

import crafted
from imagetest import Workdir, manifest_digests, quenlar, results, run_tests

ARGS = None
HERE = os.path.dirname(os.path.abspath(__file__))
EXE = os.environ.get("QUENLAR_WINDOWS_EXE") or os.path.join(HERE, "..", "build-windows", "quenlar.exe")
WINE = next((w for w in ("/usr/lib/wine/wine64", shutil.which("wine64") or "", shutil.which("wine") or "")
             if w and os.access(w, os.X_OK)), None)
IMAGES = ["ntfs", "ntfs-reformatted", "ntfs-packed-512", "ntfs-packed-4k", "ntfs-1k-on-4k", "ntfs-4k-on-1k",
          "fat32", "exfat"]


def windows_path(path):
    """How a Windows program under Wine names a path of this machine."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def sha256(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def tree_of(folder):
    """{relative path: sha256} of every file a recovery wrote under `folder`
    (its receipt, which names the paths and the time, aside)."""
    out = {}
    for top, _, names in os.walk(folder):
        for name in names:
            if top == folder and name.startswith("quenlar-receipt"):
                continue
            full = os.path.join(top, name)
            out[os.path.relpath(full, folder)] = sha256(full)
    return out


@unittest.skipUnless(os.path.isfile(EXE), f"no Windows build at {EXE} (scripts/build-windows.sh makes it)")
@unittest.skipUnless(WINE, "Wine is not installed (scripts/build-windows.sh installs it)")
class WindowsProgram(Workdir):
    @classmethod
    def setUpClass(cls):
        cls.env = dict(os.environ, WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=",  # no Mono or Gecko prompt
                       WINEPREFIX=os.environ.get("WINEPREFIX") or os.path.join(os.path.dirname(EXE), "wineprefix"))

    def wine(self, *args, check=True):
        r = subprocess.run([WINE, EXE, *args], capture_output=True, cwd=self.dir, env=self.env, timeout=600)
        # Exit code 3: every file written, some doubtful (see imagetest.quenlar).
        doubtful = r.returncode == 3 and args[0] == "recover"
        if check and r.returncode != 0 and not doubtful:
            raise AssertionError(f"quenlar.exe {' '.join(args)} exited {r.returncode}: {r.stderr.decode(errors='replace')}")
        # Windows ends text lines with CR LF.
        return r.stdout.decode("utf-8").replace("\r\n", "\n")

    def linux(self, *args):
        return quenlar(*args, cwd=self.dir).stdout

    def test_the_zip_carries_what_it_lists_and_its_program_runs(self):
        # The zip a Windows user downloads: unpacked, every file matches the
        # SHA-256 list, and the program in it says the version of this build
        # and scans a test image.
        archive = os.path.join(os.path.dirname(EXE), "quenlar-windows-x64.zip")
        if not os.path.isfile(archive):
            self.skipTest("no zip (scripts/build-windows.sh makes it)")
        folder = os.path.join(self.dir, "unpacked")
        subprocess.run(["unzip", "-q", archive, "-d", folder], check=True)
        self.assertEqual(sorted(os.listdir(folder)),
                         ["BusyGlass.exe", "README.txt", "SHA256SUMS.txt", "quenlar.exe", "quenlar.ico"])
        with open(os.path.join(folder, "SHA256SUMS.txt"), encoding="ascii") as f:
            listed = dict(reversed(line.split()) for line in f.read().splitlines() if line.strip())
        self.assertEqual(sorted(listed), ["BusyGlass.exe", "README.txt", "quenlar.exe", "quenlar.ico"])
        for name, digest in listed.items():
            self.assertEqual(sha256(os.path.join(folder, name)), digest, name)
        program = os.path.join(folder, "quenlar.exe")

        def run(*args):
            r = subprocess.run([WINE, program, *args], capture_output=True, cwd=self.dir, env=self.env, timeout=600)
            self.assertEqual(r.returncode, 0, r.stderr.decode(errors="replace"))
            return r.stdout.decode("utf-8").replace("\r\n", "\n")
        self.assertEqual(run("--version"), self.linux("--version"))
        image = os.path.join(ARGS.images, "fat32.img")
        self.assertEqual(run("scan", "--json", windows_path(image)), self.linux("scan", "--json", image))

    def test_the_same_json_on_every_image(self):
        for name in IMAGES:
            image = os.path.join(ARGS.images, name + ".img")
            for command in (["probe", "--json"], ["scan", "--json"], ["scan", "--deep", "--json"],
                            ["tree", "--json"], ["ls", "--json", None, ""], ["filter", "--json", "--pictures"],
                            ["filter", "--json", "--documents", "--min-size", "1000"]):
                ours = [image if a is None else a for a in command]
                theirs = [windows_path(image) if a is None else a for a in command]
                if None not in command:
                    ours.append(image)
                    theirs.append(windows_path(image))
                with self.subTest(image=name, command=" ".join(command[:2])):
                    linux = [json.loads(line) for line in self.linux(*ours).splitlines() if line.strip()]
                    windows = [json.loads(line) for line in self.wine(*theirs).splitlines() if line.strip()]
                    if command[0] == "probe":  # each names the volume as it was given
                        for row in linux + windows:
                            row.pop("volume", None)
                    self.assertEqual(windows, linux)

    def test_found_volumes_and_old_folders_are_the_same(self):
        # The partition search of a disk whose table is gone, a volume read
        # by its start, and the deep scan's old folders of a formatted card.
        disk = os.path.join(ARGS.images, "gpt-lost.img")
        for whole in ([], ["--whole"]):
            linux = json.loads(self.linux("partitions", "--json", *whole, disk))
            windows = json.loads(self.wine("partitions", "--json", *whole, windows_path(disk)))
            for row in linux + windows:
                row.pop("volume")
            self.assertEqual(windows, linux)
        for ours, theirs in ((disk + "@206848", windows_path(disk) + "@206848"),
                             (os.path.join(ARGS.images, "exfat-formatted.img"),
                              windows_path(os.path.join(ARGS.images, "exfat-formatted.img")))):
            linux = [json.loads(line) for line in self.linux("scan", "--deep", "--json", ours).splitlines() if line.strip()]
            windows = [json.loads(line) for line in self.wine("scan", "--deep", "--json", theirs).splitlines() if line.strip()]
            self.assertEqual(windows, linux)

    def test_recovery_writes_the_same_files(self):
        for name in ("ntfs", "fat32", "exfat", "ntfs-packed-4k"):
            image = os.path.join(ARGS.images, name + ".img")
            with self.subTest(image=name):
                mine = os.path.join(self.dir, name + "-linux")
                theirs = os.path.join(self.dir, name + "-windows")
                self.linux("recover", image, "--dest", mine, "--all")
                self.wine("recover", windows_path(image), "--dest", windows_path(theirs), "--all")
                self.assertEqual(tree_of(theirs), tree_of(mine))
                # The receipt names the same files with the same hashes, and
                # verify finds them as written.
                def receipt(folder):
                    with open(os.path.join(folder, "quenlar-receipt.json"), encoding="utf-8") as f:
                        return {e["original"]: (e["recovered"], e["sha256"]) for e in json.load(f)["files"]}
                self.assertEqual(receipt(theirs), receipt(mine))
                self.assertIn("0 changed, 0 missing", self.wine("verify", windows_path(theirs)))

    def test_names_windows_reserves_stay_inside_the_destination(self):
        with open(os.path.join(ARGS.images, "ntfs.img"), "rb") as f:
            data = f.read()
        renames = {
            "post_000.txt": "..\\..\\xy.txt",  # a way out, on Windows
            "post_001.txt": "a:stream.txt",   # an alternate data stream
            "post_002.txt": "CON.post.txt",   # a device, with an extension
            "post_003.txt": "trailing. . ",   # lost on Windows
            "post_004.txt": "nul         ",   # a device, once the blanks go
            "post_005.txt": 'q?*<>|"x.txt',   # forbidden characters
            "post_006.txt": "COM1.txt.txt",
            "post_007.txt": "/etc/passwd.",
        }
        for old, new in renames.items():
            data = crafted.ntfs_rename(data, old, new)
        data = crafted.ntfs_rename(data, "big", "NUL")  # a folder named as a device
        image = os.path.join(self.dir, "hostile.img")
        with open(image, "wb") as f:
            f.write(data)
        box = os.path.join(self.dir, "box")
        out = os.path.join(box, "out")
        os.makedirs(out)
        before = set(os.listdir(self.dir))
        self.wine("recover", windows_path(image), "--dest", windows_path(out), "--all")
        self.assertEqual(os.listdir(box), ["out"])  # nothing beside the destination
        own = {"Recovery.log", "config.ini", "mydatabase.db", "mydatabase.db-journal", "mydatabase.db.lock"}
        self.assertEqual(set(os.listdir(self.dir)) - own, before - own)
        written = tree_of(out)
        digests = manifest_digests("ntfs")
        for path in written:
            for part in path.split(os.sep):
                self.assertFalse(set(part) & set(':*?<>|"'), path)
                self.assertFalse(part.endswith((".", " ")), path)
                stem = part.split(".")[0].rstrip(" ").upper()
                self.assertNotIn(stem, {"CON", "PRN", "AUX", "NUL", "COM1", "LPT1"}, path)
        # Every file of the volume is there once, with its bytes.
        rows = [r for r in results(quenlar("scan", "--json", image, cwd=self.dir).stdout) if r["dir"] == 0]
        self.assertEqual(len(written), len(rows))
        many = {p: d for p, d in digests.items() if p.startswith("many/post_00") and p[-5] in "01234567"}
        for path, digest in many.items():
            self.assertIn(digest, written.values(), path)
        self.assertIn("CON_.post.txt", os.listdir(os.path.join(out, "many")))
        self.assertIn("a_stream.txt", os.listdir(os.path.join(out, "many")))
        self.assertTrue(os.path.isdir(os.path.join(out, "NUL_")))


if __name__ == "__main__":
    run_tests(globals())
