#!/usr/bin/env python3
"""Crafted and damaged volumes (tests/crafted.py: real-tool images with
documented byte edits), and the rules that keep a saved scan safe.

What a scan of a volume of S bytes with R file records or directory entries
may cost: reading the volume once (the deep scan; the normal scan reads its
metadata) plus at most max(S, 64 MiB) more for NTFS attribute lists and the
extension records they name, and memory in proportion to R. Each crafted
volume here once broke that; the tests check what stands for the bound
(result and extent counts, sizes), not times (those are in bench/ and the
notes).
"""
import fcntl
import json
import os
import re
import shutil
import subprocess
import unittest

import crafted
import imagetest
from imagetest import Workdir, our_path, quenlar, results, sha256

ARGS = None


class Crafted(Workdir):
    def image(self, name):
        return crafted.make(ARGS.images, name, self.dir)

    def rows(self, image, *flags, check=True):
        return results(quenlar("scan", "--json", *flags, image, cwd=self.dir, check=check).stdout)

    def test_exfat_folders_that_overlap_are_walked_once(self):
        rows = self.rows(self.image("exfat-overlapping-folders"))
        files = [r for r in rows if r["name"] == "f.bin"]
        # 1999 clusters of 42 entry sets, each listed once, under X.
        self.assertEqual(len(files), 1999 * 42)
        self.assertTrue(all(r["path"] == "X\\" for r in files))
        self.assertLess(len(rows), 1999 * 42 + 100)

    def test_an_ntfs_attribute_list_that_points_everywhere(self):
        image = self.image("ntfs-attribute-list-flood")
        rows = [r for r in self.rows(image) if r["name"] == "resident.txt"]
        self.assertEqual(len(rows), 1)
        # Its own data, not 8192 pieces of the $MFT.
        self.assertEqual(rows[0]["size"], 400)
        self.assertLessEqual(len(rows[0]["extents"]), 1)
        out = os.path.join(self.dir, "out")
        quenlar("recover", image, "--dest", out, "--index", str(rows[0]["index"]), cwd=self.dir)
        self.assertEqual(os.path.getsize(os.path.join(out, "Plain", "resident.txt")), 400)
        # 2000 copies in free space: the deep scan lists each, none larger.
        deep = [r for r in self.rows(image, "--deep") if r["name"] == "resident.txt"]
        self.assertEqual(len(deep), 2001)
        self.assertTrue(all(r["size"] == 400 and len(r["extents"]) <= 1 for r in deep))

    def test_fat32_namesakes_are_numbered_each_once(self):
        rows = [r for r in self.rows(self.image("fat32-namesakes")) if r["path"] == "SAME\\"]
        names = [r["name"] for r in rows]
        self.assertEqual(len(names), 32000)
        self.assertEqual(len(set(names)), 32000)
        self.assertIn("#AME.TXT", names)
        self.assertIn("#AME_31999.TXT", names)

    def test_files_that_share_one_endless_chain_are_judged_in_bounded_time(self):
        # 20,000 files of almost 4 GiB each on one cycling chain: the
        # evidence pass follows chains only as far as a sound volume could
        # need, and the scan ends.
        rows = [r for r in self.rows(self.image("fat32-shared-chain")) if r["path"] == "LOOP\\"]
        self.assertEqual(len(rows), 20000)
        self.assertTrue(all(r["verdict"] in ("likely", "partial", "overwritten", "unknown") for r in rows))

    def test_a_maze_of_old_folders_is_placed_in_bounded_time_and_depth(self):
        # 5,000 old folders that name each other in a ring, with files in
        # each: every one is found once, and no path is deeper than the
        # folder walk allows.
        rows = self.rows(self.image("fat32-folder-maze"), "--deep")
        files = [r for r in rows if r["name"].startswith("F") and r["name"].endswith(".BIN")]
        self.assertEqual(len(files), 5000 * 13)
        self.assertTrue(all(r["path"].count("\\") <= 513 for r in rows))

    def test_fake_file_headers_in_every_cluster_cost_one_read_and_a_bounded_list(self):
        image = self.image("fat32-fake-headers")
        rows = self.rows(image, "--deep")
        carved = [r for r in rows if r["path"].startswith("Found by content\\")]
        # 10,000 files kept on a small volume, the rest passed over and said.
        self.assertEqual(len(carved), 10000)
        with open(os.path.join(self.dir, "Recovery.log"), encoding="utf-8", errors="replace") as f:
            log = f.read()
        self.assertIn("the most one search keeps", log)
        normal = int(re.search(r"Normal scan of .* read (\d+) bytes", log).group(1))
        total = int(re.search(r"Deep scan of .*: (\d+) bytes read in", log).group(1))
        self.assertLessEqual(total - normal, os.path.getsize(image))
        # The movies that claim a terabyte end at the volume's end, no later.
        self.assertTrue(all(r["extents"][0][0] + r["extents"][0][1] <= os.path.getsize(image) // 512
                            for r in carved))

    def test_control_characters_are_escaped_in_text_output(self):
        image = self.image("ntfs-control-characters")
        table = quenlar("scan", image, cwd=self.dir).stdout
        self.assertNotIn("\x1b", table)
        self.assertIn("\\x1b[2J\\x0aab.tx", table)
        # Every row is one line: as many as the JSON has objects, plus the header.
        self.assertEqual(len(table.splitlines()), len(self.rows(image)) + 1)
        tree = quenlar("ls", image, "", cwd=self.dir).stdout
        self.assertNotIn("\x1b", tree)
        # JSON keeps the name as it is, escaped by JSON's own rules.
        names = [r["name"] for r in self.rows(image)]
        self.assertIn("\x1b[2J\nab.tx", names)

    def test_impossible_geometry(self):
        # The backup boot sector (intact in these) is used instead, and said.
        for name, says in [("fat32-no-fat", "FAT32 boot sector at sector 0 is damaged (the number of FATs is 0); "
                                            "its backup at sector 6 was used"),
                           ("fat32-255-fats", "FAT32 boot sector at sector 0 is damaged (the FAT lies outside the "
                                              "volume); its backup at sector 6 was used"),
                           ("exfat-no-fat", "exFAT boot sector at sector 0 is damaged (the number of FATs (0) is not 1 "
                                            "or 2); its backup at sector 12 was used")]:
            r = quenlar("probe", self.image(name), cwd=self.dir, check=False)
            self.assertEqual(r.returncode, 1, name)
            self.assertIn(says, r.stderr, name)
        # Sizes past the device: taken to be the device's, and said.
        for name in ["exfat-endless", "ntfs-endless"]:
            image = self.image(name)
            r = quenlar("probe", "--json", image, cwd=self.dir, check=False)
            self.assertEqual(r.returncode, 1, name)
            self.assertIn("shorter than its boot sector says", r.stderr, name)
            probe = results(r.stdout)[0]
            self.assertEqual(probe["volumeSectors"], os.path.getsize(image) // 512, name)
            self.assertGreater(probe["declaredVolumeSectors"], probe["volumeSectors"], name)
            self.assertIn("the device holds only", quenlar("probe", image, cwd=self.dir, check=False).stdout, name)
            self.assertGreater(len(self.rows(image, check=False)), 10, name)

    def test_live_fat_folders_are_listed_as_in_use(self):
        for name in ["fat32", "exfat"]:
            rows = self.rows(os.path.join(ARGS.images, name + ".img"))
            folders = {our_path(r): r for r in rows if r["dir"] == 1}
            self.assertEqual(folders["Documents"]["exist"], 10, name)
            self.assertEqual(folders["DeletedFolder"]["exist"], 20, name)


def can_mount():
    return os.geteuid() == 0 and os.path.exists("/dev/fuse") and shutil.which("ntfs-3g") and shutil.which("mmd")


@unittest.skipUnless(can_mount(), "needs root, FUSE, ntfs-3g and mtools")
class MadeHere(Workdir):
    """Volumes made here with the real tools, then edited."""

    def test_deleted_fat32_folders_of_one_name_keep_their_own_files(self):
        # Four folders BIGDIR1-4, each with A.TXT of its own content, deleted
        # with mdeltree; then their deleted entries renamed to one name
        # (0xE5 "IGDIR" and spaces), as four deleted folders BIGDIR would be.
        image = os.path.join(self.dir, "fat.img")
        with open(image, "wb") as f:
            f.truncate(40 << 20)  # enough clusters of 512 bytes to be FAT32
        env = dict(os.environ, MTOOLS_SKIP_CHECK="1")
        subprocess.run(["mkfs.vfat", "-F", "32", "-s", "1", image], check=True, capture_output=True)
        source = os.path.join(self.dir, "a.txt")
        for i in range(1, 5):
            subprocess.run(["mmd", "-i", image, f"::/BIGDIR{i}"], check=True, env=env)
            with open(source, "wb") as f:
                f.write(f"file of folder {i}\n".encode() * 10)
            subprocess.run(["mcopy", "-i", image, source, f"::/BIGDIR{i}/A.TXT"], check=True, env=env)
        for i in range(1, 5):
            subprocess.run(["mdeltree", "-i", image, f"::/BIGDIR{i}"], check=True, env=env)
        with open(image, "r+b") as f:
            data = bytearray(f.read())
            for i in range(1, 5):
                at = data.find(b"\xe5IGDIR" + str(i).encode() + b"    ")
                self.assertNotEqual(at, -1)
                data[at + 6] = ord(" ")
            f.seek(0)
            f.write(data)
        # Deleted 8.3 names lose their first letter: A.TXT is #.TXT.
        rows = [r for r in results(quenlar("scan", "--json", image, cwd=self.dir).stdout) if r["name"] == "#.TXT"]
        self.assertEqual(sorted(r["path"] for r in rows), ["#IGDIR\\", "#IGDIR_1\\", "#IGDIR_2\\", "#IGDIR_3\\"])
        out = os.path.join(self.dir, "out")
        quenlar("recover", image, "--dest", out, "--all", cwd=self.dir, check=False)
        contents = set()
        for folder in ["#IGDIR", "#IGDIR_1", "#IGDIR_2", "#IGDIR_3"]:
            with open(os.path.join(out, folder, "#.TXT"), "rb") as f:
                contents.add(f.read())
        self.assertEqual(len(contents), 4)  # each folder its own file

    def test_a_long_legal_ntfs_name(self):
        # A file named with 200 "x" (200 bytes), then renamed in its record
        # to 200 "é": legal for NTFS (200 UTF-16 units), 400 bytes in UTF-8,
        # more than a Linux file name may have.
        image = os.path.join(self.dir, "ntfs.img")
        mnt = os.path.join(self.dir, "mnt")
        os.mkdir(mnt)
        with open(image, "wb") as f:
            f.truncate(16 << 20)
        subprocess.run(["mkntfs", "-F", "-f", "-q", image], check=True, capture_output=True)
        subprocess.run(["ntfs-3g", image, mnt], check=True)
        try:
            with open(os.path.join(mnt, "x" * 200 + ".jpg"), "wb") as f:
                f.write(b"\xff\xd8\xff" + b"long name " * 1000)
        finally:
            subprocess.run(["umount", mnt], check=True)
        with open(image, "rb") as f:
            data = crafted.ntfs_rename(f.read(), "x" * 200 + ".jpg", "é" * 200 + ".jpg")
        with open(image, "wb") as f:
            f.write(data)
        out = os.path.join(self.dir, "out")
        r = quenlar("recover", image, "--dest", out, "--all", cwd=self.dir)
        self.assertIn("1 of 1 files written whole", r.stdout)
        self.assertIn("names shortened: 1", r.stdout)
        self.assertIn("name shortened", r.stderr)
        [name] = [n for n in os.listdir(out) if not n.startswith("quenlar-receipt")]
        self.assertTrue(name.startswith("é" * 10) and name.endswith(".jpg"), name)
        self.assertLessEqual(len(name.encode()), 255)
        self.assertEqual(os.path.getsize(os.path.join(out, name)), 3 + 10000)

    def test_never_into_a_mount_of_the_image_itself(self):
        source = os.path.join(self.dir, "src.img")
        shutil.copyfile(os.path.join(ARGS.images, "ntfs.img"), source)
        mnt = os.path.join(self.dir, "mnt")
        os.mkdir(mnt)
        subprocess.run(["ntfs-3g", source, mnt], check=True)
        try:
            r = quenlar("recover", source, "--dest", os.path.join(mnt, "out"), "--all", cwd=self.dir, check=False)
            self.assertEqual(r.returncode, 1)
            self.assertIn("is on the drive being recovered from", r.stderr)
            self.assertFalse(os.path.exists(os.path.join(mnt, "out")))
        finally:
            subprocess.run(["umount", mnt], check=True)
        # Through a loop device on the image, mounted by the kernel's driver
        # or by ntfs-3g on the device: refused too.
        loop = subprocess.run(["losetup", "-f", "--show", source], check=True, capture_output=True,
                              text=True).stdout.strip()
        try:
            subprocess.run(["ntfs-3g", loop, mnt], check=True)
            try:
                r = quenlar("recover", source, "--dest", os.path.join(mnt, "out"), "--all", cwd=self.dir,
                            check=False)
                self.assertEqual(r.returncode, 1)
                self.assertFalse(os.path.exists(os.path.join(mnt, "out")))
            finally:
                subprocess.run(["umount", mnt], check=True)
        finally:
            subprocess.run(["losetup", "-d", loop], check=True)


class SavedScans(Workdir):
    """The one saved scan of mydatabase.db: not replaced unasked, owned by
    one process at a time."""

    def test_a_saved_scan_of_another_volume_is_not_replaced_unasked(self):
        ntfs = os.path.join(ARGS.images, "ntfs.img")
        other = os.path.join(ARGS.images, "ntfs-reformatted.img")
        quenlar("scan", "--deep", "--stop-at-sector", "1000", ntfs, cwd=self.dir)
        r = quenlar("scan", "--deep", other, cwd=self.dir, check=False)
        self.assertEqual(r.returncode, 1)
        self.assertIn("holds the paused deep scan of", r.stderr)
        self.assertIn("--discard-saved", r.stderr)
        self.assertEqual(r.stdout, "")
        r = quenlar("tree", "--deep", other, cwd=self.dir, check=False)
        self.assertEqual(r.returncode, 1)
        # The saved scan is still there, and resumes.
        self.assertEqual(quenlar("resume", "--json", cwd=self.dir).returncode, 0)
        # Now nothing is saved: a scan of the other volume may run.
        quenlar("scan", "--deep", "--stop-at-sector", "1000", ntfs, cwd=self.dir)
        r = quenlar("scan", "--deep", "--discard-saved", other, cwd=self.dir)
        self.assertEqual(r.returncode, 0)
        # The same volume again needs no flag.
        quenlar("scan", "--deep", "--stop-at-sector", "1000", ntfs, cwd=self.dir)
        quenlar("scan", "--deep", ntfs, cwd=self.dir)
        self.assertNotEqual(quenlar("resume", cwd=self.dir, check=False).returncode, 0)  # nothing left

    def test_one_process_at_a_time_owns_the_store(self):
        lock = os.path.join(self.dir, "mydatabase.db.lock")
        with open(lock, "w") as f:
            fcntl.flock(f, fcntl.LOCK_EX)
            f.write("process 4242 (quenlar scan --deep /dev/sdz1)\n")
            f.flush()
            r = quenlar("scan", "--deep", os.path.join(ARGS.images, "ntfs.img"), cwd=self.dir, check=False)
            self.assertEqual(r.returncode, 1)
            self.assertIn("in use by process 4242 (quenlar scan --deep /dev/sdz1)", r.stderr)
            # A normal scan needs no store.
            self.assertEqual(quenlar("scan", os.path.join(ARGS.images, "ntfs.img"), cwd=self.dir).returncode, 0)
        self.assertEqual(quenlar("scan", "--deep", os.path.join(ARGS.images, "ntfs.img"), cwd=self.dir).returncode, 0)


if __name__ == "__main__":
    imagetest.run_tests(globals())
