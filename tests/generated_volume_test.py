#!/usr/bin/env python3
"""The volume generator the benchmarks use (bench/mkvolume.py), checked on a
small count: The Sleuth Kit lists what its manifest says was written and
reads back the same bytes, fsck.vfat finds its FAT32 clean, and our scans
find the same files, deleted and stray ones included, whose recovered
bytes match."""
import json
import os
import subprocess
import sys

from imagetest import Workdir, fls, our_path, quenlar, results, run_tests, sha256

ARGS = None
GENERATOR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "bench", "mkvolume.py")


def generate(workdir, kind, *options):
    image = os.path.join(workdir, kind + ".img")
    listing = os.path.join(workdir, kind + ".jsonl")
    subprocess.run([sys.executable, GENERATOR, kind, image, "--manifest", listing, *options], check=True)
    with open(listing) as f:
        return image, [json.loads(line) for line in f]


def icat(image, inode):
    import hashlib
    out = subprocess.run(["icat", image, str(inode)], capture_output=True, check=True).stdout
    return hashlib.sha256(out).hexdigest()


class Generated(Workdir):
    def check_ours(self, image, written, deep=False):
        """Our scan finds every written file with its size and state, and
        recovers each one's bytes."""
        args = ["scan", "--json"] + (["--deep"] if deep else []) + [image]
        rows = [r for r in results(quenlar(*args, cwd=self.dir).stdout) if r["dir"] == 0]
        ours = {}
        for r in rows:
            ours[r["name"] if r["exist"] == 30 else our_path(r)] = r
        self.assertEqual(sorted(ours), sorted(w["path"] for w in written))
        for w in written:
            row = ours[w["path"]]
            self.assertEqual(row["size"], w["size"], w["path"])
            want = 30 if w.get("stray") else 20 if w["deleted"] else 10
            self.assertEqual(row["exist"], want, w["path"])
        out = os.path.join(self.dir, "out")
        quenlar("recover", image, *(["--deep"] if deep else []), "--dest", out, "--all", cwd=self.dir)
        got = {}
        for folder, _, names in os.walk(out):
            for name in names:
                got[name] = sha256(os.path.join(folder, name))
        for w in written:
            self.assertEqual(got.get(os.path.basename(w["path"])), w["sha256"], w["path"])

    def test_ntfs(self):
        image, written = generate(self.dir, "ntfs", "--files", "900", "--folders", "3", "--stray", "12")
        theirs = fls(image)
        for w in written:
            if w.get("stray"):
                continue
            inode, is_dir, deleted = theirs[w["path"]]
            self.assertFalse(is_dir)
            self.assertEqual(deleted, w["deleted"], w["path"])
            self.assertEqual(icat(image, inode), w["sha256"], w["path"])
        user = {p for p in theirs if p.startswith("d0")}
        self.assertEqual(user, {w["path"] for w in written if not w.get("stray")} | {"d000", "d001", "d002"})
        # 900 files over 3 folders: each folder's index is a tree of
        # several blocks, not one root
        self.check_ours(image, [w for w in written if not w.get("stray")])
        self.check_ours(image, written, deep=True)

    def test_fat32(self):
        image, written = generate(self.dir, "fat32", "--files", "600", "--folders", "4")
        r = subprocess.run(["fsck.vfat", "-n", image], capture_output=True, text=True)
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        theirs = fls(image)
        for w in written:
            inode, is_dir, deleted = theirs[w["path"]]
            self.assertEqual(deleted, w["deleted"], w["path"])
            if not w["deleted"]:
                self.assertEqual(icat(image, inode), w["sha256"], w["path"])
        self.check_ours(image, written)


if __name__ == "__main__":
    run_tests(globals())
