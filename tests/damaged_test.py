#!/usr/bin/env python3
"""Damaged volumes: a bad sector or a damaged structure costs only what it
held, a backup is used where the file system keeps one, and every fault in a
volume's own metadata is said at the end of the scan (exit code 1).

Images are made by real tools (mkfs.vfat + mtools, mkntfs + ntfs-3g, the
test images of tests/images) with documented byte edits; unreadable sectors
come from quenlar_faultfs (root and FUSE; those tests skip without them).
The oracle is The Sleuth Kit's view of the same image where it reads it, or
the scan of the same image before the damage.
"""
import os
import shutil
import struct
import subprocess
import sys
import time
import unittest

import crafted
import imagetest
from imagetest import Workdir, fls, our_path, quenlar, results, sha256

ARGS = None
os.environ["MTOOLS_SKIP_CHECK"] = "1"


def run(*args, **kw):
    return subprocess.run(args, check=True, capture_output=True, **kw)


def edit(path, offset, data):
    with open(path, "r+b") as f:
        f.seek(offset)
        f.write(data)


def read(path, offset, length):
    with open(path, "rb") as f:
        f.seek(offset)
        return f.read(length)


class Fat32:
    """Just enough of FAT32 to find a folder's clusters and entries."""

    def __init__(self, path):
        self.path = path
        b = read(path, 0, 512)
        self.bps, self.spc, self.reserved, self.fats = struct.unpack_from("<HBHB", b, 0x0B)
        self.per_fat, = struct.unpack_from("<I", b, 0x24)
        self.root, = struct.unpack_from("<I", b, 0x2C)
        self.fat_offset = self.reserved * self.bps
        self.data = (self.reserved + self.fats * self.per_fat) * self.bps
        self.cluster = self.spc * self.bps

    def offset(self, c):
        return self.data + (c - 2) * self.cluster

    def chain(self, c):
        out = []
        with open(self.path, "rb") as f:
            while 2 <= c < 0x0FFFFFF8 and c not in out:
                out.append(c)
                f.seek(self.fat_offset + 4 * c)
                c = struct.unpack("<I", f.read(4))[0] & 0x0FFFFFFF
        return out

    def entries(self, first):
        """(offset, 32 bytes) of every short entry of a folder, in order."""
        out = []
        for c in self.chain(first):
            block = read(self.path, self.offset(c), self.cluster)
            for at in range(0, self.cluster, 32):
                e = block[at:at + 32]
                if e[0] != 0 and e[11] != 0x0F:
                    out.append((self.offset(c) + at, e))
        return out

    def find(self, folder, short):
        for at, e in self.entries(folder):
            if e[0:11] == short:
                return at, e
        raise KeyError(short)

    @staticmethod
    def start(e):
        return struct.unpack_from("<H", e, 20)[0] << 16 | struct.unpack_from("<H", e, 26)[0]


class FaultFs:
    """An image served by quenlar_faultfs at .disk, failing reads as told."""

    def __init__(self, image, workdir):
        self.dir = os.path.join(workdir, "faultfs")
        os.mkdir(self.dir)
        self.control = os.path.join(self.dir, "control")
        self.mnt = os.path.join(self.dir, "mnt")
        os.mkdir(self.mnt)
        self.rules("")
        subprocess.run([ARGS.faultfs, image, self.control, self.mnt], check=True)
        self.disk = os.path.join(self.mnt, "disk")
        for _ in range(100):
            if os.path.exists(self.disk):
                break
            time.sleep(0.05)

    def rules(self, text):
        tmp = self.control + ".new"
        with open(tmp, "w") as f:
            f.write(text)
        os.replace(tmp, self.control)

    def close(self):
        subprocess.run(["umount", self.mnt], check=False)


class Damaged(Workdir):
    def scan(self, image, *flags):
        r = quenlar("scan", "--json", *flags, image, cwd=self.dir, check=False)
        return r, {our_path(x): x for x in results(r.stdout)}

    def copy(self, name):
        path = os.path.join(self.dir, name + ".img")
        shutil.copyfile(os.path.join(ARGS.images, name + ".img"), path)
        return path

    def tearDown(self):
        self.doCleanups()  # a FUSE mount inside the folder goes first
        super().tearDown()

    def faulty(self, image):
        if not (ARGS.faultfs and os.geteuid() == 0 and os.path.exists("/dev/fuse")):
            self.skipTest("needs root, FUSE and quenlar_faultfs")
        fs = FaultFs(image, self.dir)
        self.addCleanup(fs.close)
        return fs

    def assertSaid(self, r, *texts):
        self.assertEqual(r.returncode, 1, r.stderr)
        for text in texts:
            self.assertIn(text, r.stderr)

    def intact(self, name):
        r, rows = self.scan(os.path.join(ARGS.images, name + ".img"))
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(r.stderr, "")
        os.remove(os.path.join(self.dir, "Recovery.log"))
        return rows


class Fat32Folders(Damaged):
    """A folder of 200 files in 13 one-sector clusters (mkfs.vfat -s 1,
    8.3 names, so one entry a file: '.', '..' and 16 files a cluster after
    the first)."""

    def setUp(self):
        super().setUp()
        self.image = os.path.join(self.dir, "folder.img")
        run("truncate", "-s", "40M", self.image)
        run("mkfs.vfat", "-F", "32", "-s", "1", self.image)
        src = os.path.join(self.dir, "src")
        os.mkdir(src)
        names = []
        for i in range(200):
            names.append(os.path.join(src, "F%03d.TXT" % i))
            with open(names[-1], "w") as f:
                f.write("file %d\n" % i)
        run("mmd", "-i", self.image, "::/BIG")
        run("mcopy", "-i", self.image, *names, "::/BIG/")
        fat = Fat32(self.image)
        _, e = fat.find(fat.root, b"BIG        ")
        self.clusters = fat.chain(Fat32.start(e))
        self.assertEqual(len(self.clusters), 13)
        self.fat = fat
        self.all = {"BIG/F%03d.TXT" % i for i in range(200)}

    def files(self, rows):
        return {p for p in rows if p.startswith("BIG/F")}

    def test_a_zeroed_entry_costs_only_itself(self):
        seventh = self.fat.offset(self.clusters[6])
        edit(self.image, seventh, b"\0")
        r, rows = self.scan(self.image)
        self.assertEqual(r.returncode, 0, r.stderr)
        theirs = {p for p, (_, is_dir, _) in fls(self.image).items() if p.startswith("BIG/F")}
        self.assertEqual(len(theirs), 199)
        self.assertEqual(self.files(rows), theirs)

    def test_an_unreadable_cluster_costs_its_own_entries(self):
        fs = self.faulty(self.image)
        seventh = self.fat.offset(self.clusters[6])
        fs.rules(f"fail {seventh} 512 5\n")
        r, rows = self.scan(fs.disk)
        # Entries 96-111 of the folder ('.' and '..' are 0 and 1).
        lost = {"BIG/F%03d.TXT" % i for i in range(94, 110)}
        self.assertEqual(self.files(rows), self.all - lost)
        self.assertSaid(r, "1 sector (0.0 MiB) could not be read")


class Fat32StartsAtTheEdges(Damaged):
    """A deleted folder at cluster 0x10000 (low half 0) whose first file
    starts at 0x10001 (low half 1), high halves cleared as Windows does."""

    def test_folder_and_file_are_found_and_the_file_comes_back(self):
        image = os.path.join(self.dir, "edges.img")
        run("truncate", "-s", "48M", image)
        run("mkfs.vfat", "-F", "32", "-s", "1", image)
        fat = Fat32(image)
        # Fill clusters 3 to 0xFFFF, so that the folder takes 0x10000.
        filler = os.path.join(self.dir, "FILL.BIN")
        with open(filler, "wb") as f:
            f.truncate((0x10000 - 3) * fat.cluster)
        run("mcopy", "-i", image, filler, "::/FILL.BIN")
        src = os.path.join(self.dir, "src")
        os.mkdir(src)
        wanted = {}
        for i in range(5):
            path = os.path.join(src, "Photo %d.jpg" % i)
            data = b"\xff\xd8\xff\xe0\x00\x10JFIF\x00" + os.urandom(700 + 100 * i)
            with open(path, "wb") as f:
                f.write(data)
            wanted["Old Photos/Photo %d.jpg" % i] = sha256(path)
        run("mmd", "-i", image, "::/Old Photos")
        run("mcopy", "-i", image, *sorted(os.path.join(src, n) for n in os.listdir(src)), "::/Old Photos/")
        at, e = [(a, e) for a, e in fat.entries(fat.root) if e[11] & 0x10][0]
        folder = Fat32.start(e)
        self.assertEqual(folder, 0x10000)
        first = [e for _, e in fat.entries(folder) if e[0] != ord(".")][0]
        self.assertEqual(Fat32.start(first), 0x10001)
        run("mdeltree", "-i", image, "::/Old Photos")
        # Windows clears the high half of a deleted entry's start.
        edit(image, at + 20, b"\0\0")
        for entry_at, e in fat.entries(folder):
            if e[0] == 0xE5:
                edit(image, entry_at + 20, b"\0\0")

        r, rows = self.scan(image)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual((rows["Old Photos"]["dir"], rows["Old Photos"]["exist"]), (1, 20))
        found = {p for p in rows if p.startswith("Old Photos/")}
        self.assertEqual(found, set(wanted))
        data_area = fat.data // 512
        for p in found:
            self.assertTrue(all(s >= data_area for s, _, _ in rows[p]["extents"]), p)
        out = os.path.join(self.dir, "out")
        r = quenlar("recover", image, "--dest", out, "--folder", "Old Photos", cwd=self.dir)
        for p, digest in wanted.items():
            self.assertEqual(sha256(os.path.join(out, p)), digest, p)


class NtfsRecordsAcrossChunks(Damaged):
    """A disk re-partitioned from sector 63 to 2048 and formatted again: the
    old volume's records lie at odd 512-byte offsets of the new one, one of
    them across every 1 MiB the deep scan reads."""

    def setUp(self):
        super().setUp()
        old = os.path.join(self.dir, "old.img")
        run("truncate", "-s", "24M", old)
        run("mkntfs", "-F", "-f", "-q", "-s", "512", "-c", "4096", old)
        mnt = os.path.join(self.dir, "mnt")
        os.mkdir(mnt)
        run("ntfs-3g", old, mnt)
        try:
            for i in range(2500):
                with open(os.path.join(mnt, "f%04d.txt" % i), "w") as f:
                    f.write("x")
        finally:
            run("umount", mnt)
        data = read(old, 0, os.path.getsize(old))
        shift = (2048 - 63) * 512
        new = os.path.join(self.dir, "new.img")
        with open(new, "wb") as f:
            f.write(data[shift:] + bytes(shift))
        run("mkntfs", "-F", "-f", "-q", "-s", "512", "-c", "4096", new)
        moved = read(new, 0, os.path.getsize(new))
        # The oracle: every old record whose bytes the new format left alone.
        fs = crafted.Ntfs(bytearray(data))
        expected = set()
        for n in range(36, 100000):
            try:
                at = fs.record_offset(n)
            except ValueError:
                break
            rec = data[at:at + fs.record_size]
            if rec[:4] != b"FILE" or at < shift or moved[at - shift:at - shift + fs.record_size] != rec:
                continue
            for pos, kind, _ in fs.attributes(fs.unfix(rec)):
                if kind == 0x30:
                    unfixed = fs.unfix(rec)
                    value = pos + struct.unpack_from("<H", unfixed, pos + 0x14)[0]
                    name = unfixed[value + 0x42:value + 0x42 + 2 * unfixed[value + 0x40]].decode("utf-16-le")
                    if name.startswith("f") and name.endswith(".txt"):
                        expected.add(name)
        self.assertGreater(len(expected), 1000)
        self.new, self.expected = new, expected

    def found(self, rows):
        return {row["name"] for row in rows.values() if row["name"].startswith("f")}

    def test_every_intact_old_record_is_found(self):
        r, rows = self.scan(self.new, "--deep")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(self.found(rows), self.expected)


class NtfsBackups(Damaged):
    def test_a_zeroed_boot_sector_is_read_from_its_backup(self):
        want = self.intact("ntfs")
        image = self.copy("ntfs")
        edit(image, 0, bytes(512))
        r, rows = self.scan(image)
        sectors = os.path.getsize(image) // 512
        self.assertSaid(r, f"the NTFS boot sector at sector 0 is missing or overwritten; its backup at sector "
                           f"{sectors - 1} was used")
        self.assertEqual(set(rows), set(want))

    def record_zero(self, image):
        fs = crafted.Ntfs(bytearray(read(image, 0, os.path.getsize(image))))
        mirror = struct.unpack_from("<Q", fs.data, 0x38)[0] * fs.cluster
        return fs, fs.mft, mirror

    def test_a_damaged_first_record_is_read_from_the_mirror(self):
        want = self.intact("ntfs")
        image = self.copy("ntfs")
        _, mft, _ = self.record_zero(image)
        edit(image, mft + 510, b"\xde\xad")  # the fix-up word of its first sector
        r, rows = self.scan(image)
        self.assertSaid(r, "is damaged (it fails its check); its copy in $MFTMirr was used")
        self.assertEqual(set(rows), set(want))

    def test_an_unreadable_first_record_is_read_from_the_mirror(self):
        want = self.intact("ntfs")
        image = self.copy("ntfs")
        _, mft, _ = self.record_zero(image)
        fs = self.faulty(image)
        fs.rules(f"fail {mft} 1024 5\n")
        r, rows = self.scan(fs.disk)
        self.assertSaid(r, "could not be read; its copy in $MFTMirr was used")
        self.assertEqual(set(rows), set(want))

    def runs_past_the_end(self, image, places):
        fs, _, _ = self.record_zero(image)
        for at in places:
            rec = fs.unfix(read(image, at, fs.record_size))
            for pos, kind, _ in fs.attributes(rec):
                if kind == 0x80 and rec[pos + 8]:
                    # One run of 39 clusters at cluster 2^28, and the list's end.
                    run_at = pos + struct.unpack_from("<H", rec, pos + 0x20)[0]
                    rec[run_at:run_at + 7] = bytes([0x41, 39]) + (1 << 28).to_bytes(4, "little") + b"\0"
            edit(image, at, fs.fix(rec))

    def test_runs_past_the_end_in_the_first_record(self):
        want = self.intact("ntfs")
        image = self.copy("ntfs")
        _, mft, _ = self.record_zero(image)
        self.runs_past_the_end(image, [mft])
        r, rows = self.scan(image)
        self.assertSaid(r, "gives runs past the end of the volume; its copy in $MFTMirr was used")
        self.assertEqual(set(rows), set(want))

    def test_runs_past_the_end_in_record_and_mirror(self):
        image = self.copy("ntfs")
        _, mft, mirror = self.record_zero(image)
        self.runs_past_the_end(image, [mft, mirror])
        r, rows = self.scan(image)
        self.assertSaid(r, "0.2 MiB of the $MFT lie past the end of the volume (its run list is damaged)")
        self.assertEqual(rows, {})
        # The deep scan still finds the records, as files without folders.
        r, rows = self.scan(image, "--deep")
        self.assertEqual(r.returncode, 1)
        self.assertIn("readme.txt", {row["name"] for row in rows.values()})

    def test_an_image_cut_short_inside_its_mft(self):
        want = self.intact("ntfs")
        image = self.copy("ntfs")
        fs, mft, _ = self.record_zero(image)
        with open(image, "r+b") as f:
            f.truncate(mft + 120 * fs.record_size)
        r, rows = self.scan(image)
        self.assertSaid(r, "shorter than its boot sector says", "of the $MFT lie past the end of the device")
        self.assertLess(len(rows), len(want))
        self.assertTrue(set(rows) <= set(want))
        # A file whose data lay past the cut is said to be so when recovered.
        end = os.path.getsize(image) // 512
        past = [row for row in rows.values() if any(s + n > end for s, n, _ in row["extents"])]
        self.assertTrue(past)
        self.assertIn(f"{len(past)} found file", r.stderr)
        out = os.path.join(self.dir, "out")
        r = quenlar("recover", image, "--dest", out, "--index", str(past[0]["index"]), cwd=self.dir, check=False)
        self.assertEqual(r.returncode, 1)
        self.assertIn("its data lies past the end of the device", r.stdout + r.stderr)


class Fat32Backups(Damaged):
    def test_a_zeroed_boot_sector_is_read_from_its_backup(self):
        want = self.intact("fat32")
        image = self.copy("fat32")
        edit(image, 0, bytes(512))
        r, rows = self.scan(image)
        self.assertSaid(r, "the FAT32 boot sector at sector 0 is missing or overwritten; its backup at sector 6 was used")
        self.assertEqual(set(rows), set(want))

    def test_an_unreadable_first_fat_is_read_from_the_second(self):
        want = self.intact("fat32")
        image = self.copy("fat32")
        fat = Fat32(image)
        fs = self.faulty(image)
        fs.rules(f"fail {fat.fat_offset} {fat.per_fat * fat.bps} 5\n")
        r, rows = self.scan(fs.disk)
        self.assertSaid(r, "of the first FAT could not be read; the second FAT gave them")
        self.assertEqual(set(rows), set(want))
        self.assertNotIn("could not be read; what they held", r.stderr)

    def test_three_fats(self):
        image = os.path.join(self.dir, "three.img")
        run("truncate", "-s", "40M", image)
        run("mkfs.vfat", "-F", "32", "-f", "3", image)
        for name in ("kept.txt", "gone.txt"):
            with open(os.path.join(self.dir, name), "w") as f:
                f.write(name * 100)
            run("mcopy", "-i", image, os.path.join(self.dir, name), "::/" + name)
        run("mdel", "-i", image, "::/gone.txt")
        r, rows = self.scan(image)
        self.assertEqual(r.returncode, 0, r.stderr)
        # An 8.3 name keeps no first letter once deleted: fls shows "_", we "#".
        theirs = {p.replace("_", "#") for p in fls(image) if not p.startswith("$")}
        self.assertEqual(theirs, {"kept.txt", "#one.txt"})
        self.assertEqual(set(rows), theirs)

    def test_an_image_cut_short_inside_its_fat(self):
        image = self.copy("fat32")
        fat = Fat32(image)
        with open(image, "r+b") as f:
            f.truncate(fat.fat_offset + 4096)
        r, rows = self.scan(image)
        self.assertSaid(r, "shorter than its boot sector says")
        self.assertEqual(rows, {})


class ExfatBackups(Damaged):
    def test_a_zeroed_boot_sector_is_read_from_the_backup_region(self):
        want = self.intact("exfat")
        image = self.copy("exfat")
        edit(image, 0, bytes(512))
        r, rows = self.scan(image)
        self.assertSaid(r, "the exFAT boot sector at sector 0 is missing or overwritten; its backup at sector 12 was used")
        self.assertEqual(set(rows), set(want))

    def bitmap(self, image):
        b = read(image, 0, 512)
        spc = 1 << b[0x6D]
        heap, = struct.unpack_from("<I", b, 0x58)
        root, = struct.unpack_from("<I", b, 0x60)
        root_at = (heap + (root - 2) * spc) * 512
        entries = read(image, root_at, spc * 512)
        for at in range(0, len(entries), 32):
            if entries[at] == 0x81:
                first, = struct.unpack_from("<I", entries, at + 20)
                return root_at + at, (heap + (first - 2) * spc) * 512
        raise AssertionError("no bitmap entry")

    def check_every_file_listed(self, r, rows, want):
        # Everything of the intact volume, and the deleted folder whose
        # cluster is in use again, which only a bitmap could tell.
        self.assertSaid(r, "every cluster is taken as possibly free")
        self.assertEqual(set(rows) - set(want), {"Documents/Reused"} | {p for p in rows if p.startswith("Documents/Reused/")})
        self.assertTrue(set(want) <= set(rows))

    def test_a_damaged_bitmap_entry(self):
        want = self.intact("exfat")
        image = self.copy("exfat")
        entry, _ = self.bitmap(image)
        edit(image, entry + 20, struct.pack("<I", 0xFFFFFF00))
        r, rows = self.scan(image)
        self.check_every_file_listed(r, rows, want)
        self.assertIn("could not be read or its entry is damaged", r.stderr)

    def test_an_unreadable_bitmap(self):
        want = self.intact("exfat")
        image = self.copy("exfat")
        _, bitmap = self.bitmap(image)
        fs = self.faulty(image)
        fs.rules(f"fail {bitmap} 512 5\n")
        r, rows = self.scan(fs.disk)
        self.check_every_file_listed(r, rows, want)


if __name__ == "__main__":
    imagetest.run_tests(globals())
