#!/usr/bin/env python3
"""NTFS as Windows writes it, on volumes made by mkntfs and ntfs-3g: 4096-byte
sectors with 4096-byte file records, LZNT1-compressed and sparse files
(existing and deleted), torn file records, and volumes quick-formatted over
an earlier one whose records have the other size.

Every file must be listed as the manifest says and come back byte-exact,
against the sha256 of what was written and against icat of the same image.
A file whose bytes cannot all be had must never come out under its own name.
The test that makes a volume of its own (a compressed file larger than one
64 MiB transfer) needs root and FUSE, and says so when it cannot run.
"""
import os
import shutil
import subprocess
import tempfile
import unittest

import imagetest
from imagetest import Workdir, fls, manifest, manifest_digests, our_path, quenlar, results, sha256

ARGS = None

PACKED = ["ntfs-packed-512", "ntfs-packed-4k"]


def icat_digest(image, inode):
    import hashlib
    out = subprocess.run(["icat", image, str(inode)], capture_output=True, check=True).stdout
    return hashlib.sha256(out).hexdigest()


def record_offset(image, inode, cwd):
    """Where record `inode` lies in the image: through the $MFT runs that
    `probe` reports, with the record size of the volume."""
    probe = results(quenlar("probe", "--json", image, cwd=cwd).stdout)[0]
    cluster = probe["clusterBytes"]
    record = probe["recordBytes"]
    vcn, within = divmod(inode * record, cluster)
    for run in probe["mftRuns"]:
        if run["vcn"] <= vcn < run["vcn"] + run["length"]:
            return (run["lcn"] + vcn - run["vcn"]) * cluster + within, record
    raise AssertionError(f"record {inode} is not in the $MFT runs")


class PackedVolumes(Workdir):
    """Compressed and sparse files, with 512- and 4096-byte sectors."""

    def check(self, name):
        image = os.path.join(ARGS.images, name + ".img")
        rows = {our_path(r): r for r in results(quenlar("scan", "--json", image, cwd=self.dir).stdout)}
        written = manifest(name)
        digests = manifest_digests(name)
        self.assertEqual(sorted(rows), sorted(written))
        theirs = fls(image)
        for path, (kind, size, state) in written.items():
            row = rows[path]
            self.assertEqual(row["dir"], 1 if kind == "d" else 0, path)
            self.assertEqual(row["exist"], 10 if state == "existing" else 20, path)
            self.assertEqual(row["fileNo"], theirs[path][0], path)
            self.assertFalse(row["torn"], path)
            if kind != "f":
                continue
            self.assertEqual(row["size"], size, path)
            resident = len(row["extents"]) == 1 and row["extents"][0][2] == 1
            compressed = path.startswith(("Compressed/", "GoneFolder/")) and not resident
            self.assertEqual(row["encoding"], "lznt1" if compressed else "stored", path)
            if path.startswith("Sparse/"):
                self.assertTrue(any(e[2] == 2 for e in row["extents"]), path)

        out = os.path.join(self.dir, "out")
        r = quenlar("recover", image, "--dest", out, "--all", cwd=self.dir)
        files = [p for p, row in written.items() if row[0] == "f"]
        self.assertIn(f"{len(files)} of {len(files)} files written whole, 0 doubtful, 0 partial, 0 failed", r.stdout)
        self.assertEqual(r.stderr, "")
        for path in files:
            self.assertEqual(sha256(os.path.join(out, path)), digests[path], path)
            self.assertEqual(icat_digest(image, theirs[path][0]), digests[path], path)

    def test_512_byte_sectors(self):
        self.check("ntfs-packed-512")

    def test_4096_byte_sectors_and_records(self):
        self.check("ntfs-packed-4k")


class RecordsOfTheOtherSize(Workdir):
    """The deep scan finds the records of an earlier volume whatever their
    size, and their files come back."""

    def check(self, name):
        image = os.path.join(ARGS.images, name + ".img")
        written = manifest(name)
        digests = manifest_digests(name)
        normal = {our_path(r) for r in results(quenlar("scan", "--json", image, cwd=self.dir).stdout)}
        self.assertEqual(normal, {p for p, row in written.items() if row[2] != "formatted"})
        deep = {our_path(r): r for r in results(quenlar("scan", "--deep", "--json", image, cwd=self.dir).stdout)}
        for path, (kind, size, state) in written.items():
            self.assertIn(path, deep)
            if kind == "f":
                self.assertEqual(deep[path]["size"], size, path)
        out = os.path.join(self.dir, "out")
        quenlar("recover", image, "--deep", "--dest", out, "--all", cwd=self.dir, check=False)
        for path, (kind, size, state) in written.items():
            if kind == "f":
                self.assertEqual(sha256(os.path.join(out, path)), digests[path], path)

    def test_1024_byte_records_over_4096(self):
        self.check("ntfs-1k-on-4k")

    def test_4096_byte_records_over_1024(self):
        self.check("ntfs-4k-on-1k")


class TornRecord(Workdir):
    """A copy of a packed volume with the end word of the last sector of one
    file's record changed, as a torn write leaves it: the file is listed as
    torn with what its first sectors say, and recovery keeps its bytes under
    a name that says they are not known to be whole."""

    def check(self, name):
        source = os.path.join(ARGS.images, name + ".img")
        image = os.path.join(self.dir, "torn.img")
        shutil.copyfile(source, image)
        inode = fls(image)["Plain/photo.jpg"][0]
        offset, size = record_offset(image, inode, self.dir)
        with open(image, "r+b") as f:
            f.seek(offset + size - 2)
            word = bytearray(f.read(2))
            word[0] ^= 0xFF
            f.seek(offset + size - 2)
            f.write(word)

        rows = {our_path(r): r for r in results(quenlar("scan", "--json", image, cwd=self.dir).stdout)}
        row = rows["Plain/photo.jpg"]
        self.assertTrue(row["torn"])
        self.assertEqual(row["size"], manifest(name)["Plain/photo.jpg"][1])
        self.assertFalse(rows["Plain/resident.txt"]["torn"])
        table = quenlar("scan", image, cwd=self.dir).stdout
        self.assertRegex(table, r"torn\s+\w+\s+Plain/photo.jpg")

        out = os.path.join(self.dir, "out")
        r = quenlar("recover", image, "--dest", out, "--index", str(row["index"]), cwd=self.dir, check=False)
        self.assertEqual(r.returncode, 1)
        self.assertIn("0 of 1 files written whole, 0 doubtful, 1 partial, 0 failed", r.stdout)
        self.assertIn("torn record: 1", r.stdout)
        self.assertIn("partial: Plain/photo.jpg", r.stderr)
        self.assertIn("torn", r.stderr)
        self.assertFalse(os.path.exists(os.path.join(out, "Plain", "photo.jpg")))
        kept = os.path.join(out, "Plain", "photo.jpg.partial")
        # The record's data runs lay before the torn sector: the bytes are
        # all there, but only the user can tell whether they are whole.
        self.assertEqual(sha256(kept), manifest_digests(name)["Plain/photo.jpg"])

    def test_1024_byte_record(self):
        self.check("ntfs-packed-512")

    def test_4096_byte_record(self):
        self.check("ntfs-packed-4k")


def can_mount():
    return os.geteuid() == 0 and os.path.exists("/dev/fuse") and shutil.which("ntfs-3g") and shutil.which("setfattr")


@unittest.skipUnless(can_mount(), "needs root, FUSE, ntfs-3g and setfattr to make a volume")
class LargeCompressedFile(Workdir):
    """A compressed file of 80 MB, larger than one 64 MiB transfer of the
    recovery writer, and a deleted one of 72.8 MB, on a volume made here.
    Their runs fill several extension records. Deleting a file, ntfs-3g
    takes its last runs out of the attribute list and wipes the extension
    record that held its name: the name is found again where it was wiped,
    and the runs that are left come back, reported as not the whole file."""

    @staticmethod
    def block(name, i, size):
        return (f"{name} block {i:010d} ".encode() * 40000)[:size]

    def test_byte_exact(self):
        import hashlib
        image = os.path.join(self.dir, "large.img")
        mnt = os.path.join(self.dir, "mnt")
        os.mkdir(mnt)
        with open(image, "wb") as f:
            f.truncate(96 << 20)
        subprocess.run(["mkntfs", "-F", "-f", "-q", "-c", "4096", image], check=True, capture_output=True)
        subprocess.run(["ntfs-3g", image, mnt], check=True)
        written = {}
        try:
            os.mkdir(os.path.join(mnt, "c"))
            subprocess.run(["setfattr", "-n", "system.ntfs_attrib_be", "-v", "0x00000800", os.path.join(mnt, "c")],
                           check=True)
            for name, blocks in [("big.txt", 80), ("gone.txt", 70)]:
                data = b"".join(self.block(name, i, 1 << 20) for i in range(blocks))
                with open(os.path.join(mnt, "c", name), "wb") as f:
                    f.write(data)
                written["c/" + name] = data
            os.sync()
            os.remove(os.path.join(mnt, "c", "gone.txt"))
            os.sync()
        finally:
            subprocess.run(["umount", mnt], check=True)
        theirs = fls(image)
        rows = {our_path(r): r for r in results(quenlar("scan", "--json", image, cwd=self.dir).stdout)}
        out = os.path.join(self.dir, "out")

        big = written["c/big.txt"]
        self.assertEqual(rows["c/big.txt"]["encoding"], "lznt1")
        self.assertEqual(rows["c/big.txt"]["size"], len(big))
        r = quenlar("recover", image, "--dest", out, "--index", str(rows["c/big.txt"]["index"]), cwd=self.dir)
        self.assertIn("1 of 1 files written whole", r.stdout)
        digest = hashlib.sha256(big).hexdigest()
        self.assertEqual(sha256(os.path.join(out, "c", "big.txt")), digest)
        self.assertEqual(icat_digest(image, theirs["c/big.txt"][0]), digest)

        gone = written["c/gone.txt"]
        row = rows["c/gone.txt"]
        self.assertEqual((row["exist"], row["size"], row["encoding"]), (20, len(gone), "lznt1"))
        r = quenlar("recover", image, "--dest", out, "--index", str(row["index"]), cwd=self.dir, check=False)
        self.assertEqual(r.returncode, 1)
        self.assertIn("clusters end early: 1", r.stdout)
        self.assertFalse(os.path.exists(os.path.join(out, "c", "gone.txt")))
        with open(os.path.join(out, "c", "gone.txt.partial"), "rb") as f:
            kept = f.read()
        self.assertGreater(len(kept), 32 << 20)
        self.assertEqual(kept, gone[:len(kept)])
        # The Sleuth Kit, which lists the file without its name, reads the
        # same runs.
        orphan = int(row["fileNo"])
        self.assertEqual(icat_digest(image, orphan), hashlib.sha256(kept).hexdigest())


if __name__ == "__main__":
    imagetest.run_tests(globals())
