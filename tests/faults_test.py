#!/usr/bin/env python3
"""A disk that fails on command (quenlar_faultfs, a FUSE file system of ours
that serves an image and fails reads as a control file says): bad sectors
inside a file, reads that fail for a while and then read again, a disk that
fails everywhere, a medium that goes away; and kill -9 at random moments of
a resume and of the end of a deep scan, after which the store must hold the
old save or the new state, never half of one. Needs root and FUSE; says so
and skips otherwise.
"""
import json
import os
import random
import shutil
import signal
import sqlite3
import subprocess
import tempfile
import time
import unittest

import imagetest
from imagetest import our_path, quenlar, results, sha256

ARGS = None


def can_run():
    return bool(ARGS.faultfs) and os.geteuid() == 0 and os.path.exists("/dev/fuse")


class FaultyDisk(unittest.TestCase):
    """An image served through quenlar_faultfs at self.disk."""

    image_name = "ntfs"
    grow_to = 0  # bytes: the image made larger, its boot sector's size (0x28) to match

    def setUp(self):
        if not can_run():
            self.skipTest("needs root, FUSE and quenlar_faultfs")
        self.dir = tempfile.mkdtemp()
        self.image = os.path.join(self.dir, "source.img")
        shutil.copyfile(os.path.join(ARGS.images, self.image_name + ".img"), self.image)
        if self.grow_to:
            with open(self.image, "r+b") as f:
                f.truncate(self.grow_to)
                f.seek(0x28)
                f.write((self.grow_to // 512 - 1).to_bytes(8, "little"))
        self.control = os.path.join(self.dir, "control")
        self.mnt = os.path.join(self.dir, "mnt")
        os.mkdir(self.mnt)
        self.rules("")
        subprocess.run([ARGS.faultfs, self.image, self.control, self.mnt], check=True)
        self.disk = os.path.join(self.mnt, "disk")
        for _ in range(100):
            if os.path.exists(self.disk):
                break
            time.sleep(0.05)

    def tearDown(self):
        subprocess.run(["umount", self.mnt], check=False)
        shutil.rmtree(self.dir)

    def rules(self, text):
        # A new file each time, so that its change is seen at once.
        tmp = self.control + ".new"
        with open(tmp, "w") as f:
            f.write(text)
        os.replace(tmp, self.control)

    def scan(self, *args, check=False):
        return quenlar("scan", "--json", *args, cwd=self.dir, check=check)


class BadSectorsInAFile(FaultyDisk):
    def test_the_rest_of_the_file_comes_back_and_it_is_reported(self):
        rows = {our_path(r): r for r in results(self.scan(self.disk, check=True).stdout)}
        row = rows["big/fragmented.bin"]
        start = row["extents"][1][0]
        bad = (start + 8) * 512  # two sectors inside its second extent
        self.rules(f"fail {bad} 1024 5\n")
        out = os.path.join(self.dir, "out")
        r = quenlar("recover", self.disk, "--dest", out, "--index", str(row["index"]), cwd=self.dir, check=False)
        self.assertEqual(r.returncode, 1)
        self.assertIn("0 of 1 files written whole, 0 doubtful, 1 partial", r.stdout)
        self.assertIn("2 unreadable sectors read as zeros", r.stderr)
        self.assertFalse(os.path.exists(os.path.join(out, "big", "fragmented.bin")))
        with open(os.path.join(out, "big", "fragmented.bin.partial"), "rb") as f:
            got = f.read()
        self.rules("")
        expected = bytearray()
        with open(self.image, "rb") as f:
            for s, n, _ in row["extents"]:
                f.seek(s * 512)
                expected += f.read(n * 512)
        expected = expected[:row["size"]]
        # The two sectors lie 8 sectors into the second extent.
        hole = row["extents"][0][1] * 512 + 8 * 512
        self.assertEqual(len(got), len(expected))
        self.assertEqual(got[:hole], expected[:hole])
        self.assertEqual(got[hole:hole + 1024], bytes(1024))
        self.assertEqual(got[hole + 1024:], expected[hole + 1024:])


class ReadsThatFailForAWhile(FaultyDisk):
    image_name = "ntfs-reformatted"

    def test_what_lies_there_is_found_once_the_disk_reads_again(self):
        whole = {our_path(r) for r in results(self.scan("--deep", self.disk, check=True).stdout)}
        self.assertIn("Old Photos/2019/beach.jpg", whole)
        os.remove(os.path.join(self.dir, "mydatabase.db"))
        # The first reads of 6-22 MiB fail; the scan skips ahead, comes back
        # at the end and reads them then.
        self.rules(f"fail {6 << 20} {16 << 20} 5 12\n")
        r = self.scan("--deep", self.disk)
        found = {our_path(x) for x in results(r.stdout)}
        self.assertEqual(found, whole)
        # The sectors it tried one by one at the first failure stay counted.
        self.assertEqual(r.returncode, 1)
        self.assertIn("could not be read", r.stderr)


class ADiskThatFailsEverywhere(FaultyDisk):
    # The reformatted volume's files on a disk of 512 MiB: every read from
    # 32 MiB on fails.
    image_name = "ntfs-reformatted"
    grow_to = 512 << 20

    def test_the_deep_scan_stops_saves_and_resumes_later(self):
        whole = sorted(json.dumps(x, sort_keys=True) for x in results(self.scan("--deep", self.disk, check=True).stdout))
        os.remove(os.path.join(self.dir, "mydatabase.db"))
        self.rules(f"fail {32 << 20} {1 << 40} 5\n")
        r = self.scan("--deep", self.disk)
        self.assertEqual(r.returncode, 1)
        self.assertIn("the disk is failing", r.stderr)
        self.assertIn("could not be read", r.stderr)
        # What lies before the failures was found (its paths wait for the end
        # of the scan) and saved.
        names = sorted(x["name"] for x in results(r.stdout))
        self.assertEqual(names, sorted(json.loads(x)["name"] for x in whole))
        # Back in order, the scan goes on from where the failures began.
        self.rules("")
        resumed = quenlar("resume", "--json", cwd=self.dir)
        self.assertEqual(sorted(json.dumps(x, sort_keys=True) for x in results(resumed.stdout)), whole)


class TheMediumGoesAway(FaultyDisk):
    def test_the_results_are_saved_and_the_scan_goes_on_when_it_is_back(self):
        whole = sorted(json.dumps(x, sort_keys=True) for x in results(self.scan("--deep", self.disk, check=True).stdout))
        os.remove(os.path.join(self.dir, "mydatabase.db"))
        self.rules("gone-after 40\n")
        r = self.scan("--deep", self.disk)
        self.assertEqual(r.returncode, 1)
        self.assertIn("went away", r.stderr)
        self.rules("")
        resumed = quenlar("resume", "--json", cwd=self.dir)
        self.assertEqual(sorted(json.dumps(x, sort_keys=True) for x in results(resumed.stdout)), whole)


def store_state(path):
    """'empty', or ('saved', next position, files) of a consistent store;
    raises when the store is half of something."""
    db = sqlite3.connect(path)
    try:
        assert db.execute("PRAGMA integrity_check").fetchone()[0] == "ok"
        tables = {r[0] for r in db.execute("select name from sqlite_master where type='table'")}
        for t in ["tbl_fileInfo", "tbl_fileExtent", "tbl_ScanRecordInfo", "tbl_fileState", "tbl_folderMap"]:
            assert t in tables, f"{t} is missing"
        records = db.execute("select nextPosition from tbl_ScanRecordInfo").fetchall()
        files = db.execute("select count(*) from tbl_fileInfo").fetchone()[0]
        states = db.execute("select count(*) from tbl_fileState").fetchone()[0]
        orphans = db.execute("select count(*) from tbl_fileExtent where fileId > ?", (files,)).fetchone()[0]
        if not records:
            assert files == 0 and states == 0, "files without a scan record"
            return "empty"
        assert len(records) == 1 and files > 0 and states == files and orphans == 0, "a save cut short"
        return ("saved", records[0][0], files)
    finally:
        db.close()


class KilledAtAnyMoment(FaultyDisk):
    """kill -9 while resume runs and while a deep scan ends, the disk slowed
    so that the moments fall inside the work."""

    def kill_after(self, args, seconds):
        p = subprocess.Popen([ARGS.quenlar, *args], cwd=self.dir, stdout=subprocess.DEVNULL,
                             stderr=subprocess.DEVNULL)
        time.sleep(seconds)
        p.send_signal(signal.SIGKILL)
        p.wait()

    def test_the_store_is_never_half_of_a_save(self):
        db = os.path.join(self.dir, "mydatabase.db")
        rnd = random.Random(7)
        outcomes = set()
        for _ in range(8):
            # A saved scan to resume: paused after its first chunks.
            self.rules("")
            if os.path.exists(db):
                os.remove(db)
            quenlar("scan", "--deep", "--stop-at-sector", "4000", self.disk, cwd=self.dir, check=False)
            before = store_state(db)
            self.assertEqual(before[0], "saved")
            # Each read now takes 20 ms: resuming takes some seconds.
            self.rules("delay 20000\n")
            self.kill_after(["resume", "--json"], rnd.uniform(0.0, 4.0))
            after = store_state(db)  # raises if half of something
            outcomes.add("old" if after == before else "empty" if after == "empty" else "new")
            # And the end of a deep scan of its own: the store is empty
            # before it, and may only be so after.
            os.remove(db)
            self.kill_after(["scan", "--deep", self.disk], rnd.uniform(1.0, 5.0))
            if os.path.exists(db):
                store_state(db)
        # The kills fell before the resumed scan was done and after.
        self.assertIn("old", outcomes)


if __name__ == "__main__":
    imagetest.run_tests(globals())
