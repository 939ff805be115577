#!/usr/bin/env python3
"""The command line against the test images and against bad input.

`quenlar probe` must report the geometry The Sleuth Kit reads from the same
image (fsstat, and istat of $MFT record 0 for the $MFT run list), and every
kind of bad input must give one line on stderr and a non-zero exit code.
"""
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

import imagetest

ARGS = None


def quenlar(*args, cwd=None, user=None):
    cmd = [ARGS.quenlar, *args]
    if user:
        cmd = ["runuser", "-u", user, "--", *cmd]
    return subprocess.run(cmd, capture_output=True, text=True, cwd=cwd or ARGS.workdir, timeout=60)


def tsk(*args):
    return subprocess.run(args, capture_output=True, text=True, check=True).stdout


def field(text, label):
    m = re.search(r"^\s*" + re.escape(label) + r":?\s*(.+)$", text, re.M)
    if not m:
        raise AssertionError(f"fsstat has no '{label}'")
    return m.group(1).strip()


def mft_clusters_from_istat(image):
    """$MFT's $DATA clusters in file order, as istat lists them."""
    text = tsk("istat", image, "0")
    block = text.split("Type: $DATA (128-")[1]
    numbers = []
    for line in block.splitlines()[1:]:
        if line.startswith("Type:") or not line.strip():
            break
        numbers += [int(n) for n in line.split()]
    return numbers


class ProbeAgreesWithTheSleuthKit(unittest.TestCase):
    def probe(self, name):
        image = os.path.join(ARGS.images, name + ".img")
        r = quenlar("probe", "--json", image)
        self.assertEqual(r.returncode, 0, r.stderr)
        return image, json.loads(r.stdout)

    def test_ntfs(self):
        image, p = self.probe("ntfs")
        fs = tsk("fsstat", image)
        self.assertEqual(p["fileSystem"], "NTFS")
        self.assertEqual(p["fileSystemType"], 1)
        self.assertEqual(p["bytesPerSector"], int(field(fs, "Sector Size")))
        self.assertEqual(p["clusterBytes"], int(field(fs, "Cluster Size")))
        self.assertEqual(p["volumeSectors"], int(field(fs, "Total Sector Range").split("-")[1]) + 1)
        self.assertEqual(p["mftCluster"], int(field(fs, "First Cluster of MFT")))
        self.assertGreater(len(p["mftRuns"]), 1, "the test image should have a fragmented $MFT")
        ours = []
        for r in p["mftRuns"]:
            self.assertEqual(r["vcn"], len(ours))
            ours += range(r["lcn"], r["lcn"] + r["length"])
        theirs = mft_clusters_from_istat(image)
        self.assertEqual(len(ours), len(theirs))
        # istat prints 0 for allocated clusters past the data's initialised
        # size at the end of the last run; every other cluster must agree.
        tail = len(theirs)
        while tail > 0 and theirs[tail - 1] == 0:
            tail -= 1
        self.assertEqual(ours[:tail], theirs[:tail])

    def test_fat32(self):
        image, p = self.probe("fat32")
        fs = tsk("fsstat", image)
        self.assertEqual(p["fileSystem"], "FAT32")
        self.assertEqual(p["fileSystemType"], 0)
        self.assertEqual(p["bytesPerSector"], int(field(fs, "Sector Size")))
        self.assertEqual(p["clusterBytes"], int(field(fs, "Cluster Size")))
        self.assertEqual(p["volumeSectors"], int(field(fs, "Total Range").split("-")[1]) + 1)
        # One FAT: its sector range times the sector size, in 4-byte entries.
        first, last = (int(n) for n in field(fs, "* FAT 0").split("-"))
        self.assertEqual(p["fatEntries"], (last - first + 1) * p["bytesPerSector"] // 4)

    def test_exfat(self):
        image, p = self.probe("exfat")
        fs = tsk("fsstat", image)
        self.assertEqual(p["fileSystem"], "exFAT")
        self.assertEqual(p["fileSystemType"], 2)
        self.assertEqual(p["bytesPerSector"], int(field(fs, "Sector Size")))
        self.assertEqual(p["clusterBytes"], int(field(fs, "Cluster Size")))
        layout = fs.split("File System Layout")[1]
        self.assertEqual(p["volumeSectors"], int(field(layout, "Range").split("-")[1]) + 1)
        # Clusters 2..N: N + 1 FAT entries, the two reserved ones included.
        self.assertEqual(p["fatEntries"], int(field(fs, "Cluster Range").split("-")[1]) + 1)

    def test_text_output(self):
        r = quenlar("probe", os.path.join(ARGS.images, "ntfs.img"))
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn("File system:         NTFS", r.stdout)
        _, p = self.probe("ntfs")
        self.assertIn(f"$MFT runs:           {len(p['mftRuns'])}\n", r.stdout)
        table = r.stdout.split("length\n")[1].split()
        self.assertEqual([int(n) for n in table], [v for run in p["mftRuns"] for v in run.values()])

    def test_block_device(self):
        if os.geteuid() != 0 or not shutil.which("losetup"):
            self.skipTest("loop devices need root")
        try:
            loop = subprocess.run(["losetup", "-f", "--show", "-r", os.path.join(ARGS.images, "exfat.img")],
                                  capture_output=True, text=True, check=True).stdout.strip()
        except subprocess.CalledProcessError as e:
            self.skipTest("no loop device: " + e.stderr.strip())
        try:
            r = quenlar("probe", "--json", loop)
            self.assertEqual(r.returncode, 0, r.stderr)
            self.assertEqual(json.loads(r.stdout)["volumeSectors"], 16 * 1024 * 1024 // 512)
        finally:
            subprocess.run(["losetup", "-d", loop], check=False)


class BadInput(unittest.TestCase):
    def assertOneLineError(self, r, pattern):
        self.assertNotEqual(r.returncode, 0)
        self.assertLess(r.returncode, 128, "killed by a signal")
        self.assertEqual(r.stdout, "")
        lines = r.stderr.strip().splitlines()
        self.assertEqual(len(lines), 1, r.stderr)
        self.assertRegex(lines[0], "^quenlar: " + pattern)

    def setUp(self):
        self.tmp = tempfile.mkdtemp()

    def tearDown(self):
        shutil.rmtree(self.tmp)

    def write(self, name, data):
        path = os.path.join(self.tmp, name)
        with open(path, "wb") as f:
            f.write(data)
        return path

    def test_missing_path(self):
        self.assertOneLineError(quenlar("probe", os.path.join(self.tmp, "nothing.img")), "cannot open .*no such")

    def test_folder(self):
        self.assertOneLineError(quenlar("probe", self.tmp), "cannot open .*is a folder")

    def test_not_a_volume(self):
        self.assertOneLineError(quenlar("probe", "/dev/null"), "cannot open .*neither a block device")
        fifo = os.path.join(self.tmp, "fifo")
        os.mkfifo(fifo)
        self.assertOneLineError(quenlar("probe", fifo), "cannot open")

    def test_short_file(self):
        self.assertOneLineError(quenlar("probe", self.write("short.img", b"NTFS" * 10)), ".*shorter than one")
        self.assertOneLineError(quenlar("probe", self.write("empty.img", b"")), ".*empty")

    def test_unknown_file_system(self):
        self.assertOneLineError(quenlar("probe", self.write("zero.img", bytes(65536))), ".*no NTFS, FAT32 or exFAT")
        self.assertOneLineError(quenlar("probe", self.write("rand.img", os.urandom(65536))), ".*no NTFS")

    def test_damaged_boot_sector(self):
        boot = bytearray(65536)
        boot[3:11] = b"NTFS    "
        boot[0x0B:0x0D] = (512).to_bytes(2, "little")
        boot[0x0D] = 3  # not a power of two
        self.assertOneLineError(quenlar("probe", self.write("bad.img", bytes(boot))), ".*NTFS boot sector .* damaged")

    def test_permission_denied(self):
        if os.geteuid() != 0 or not shutil.which("runuser"):
            self.skipTest("needs root to run as another user")
        path = self.write("secret.img", bytes(4096))
        os.chmod(path, 0o600)
        os.chmod(self.tmp, 0o755)
        r = quenlar("probe", path, user="nobody", cwd=self.tmp)
        self.assertOneLineError(r, "cannot open .*permission denied")

    def test_the_window_keeps_its_files_in_the_users_data_folder_when_asked(self):
        # As the desktop entry starts it: the working files go to the desktop
        # user's data folder (here the user we run as, with XDG_DATA_HOME set).
        data = os.path.join(self.tmp, "data")
        os.makedirs(data)
        env = {k: v for k, v in os.environ.items() if k not in ("SUDO_UID", "PKEXEC_UID")}
        env.update(XDG_DATA_HOME=data, QUENLAR_LOCK_DIR=self.tmp)
        p = subprocess.Popen([ARGS.quenlar, "gui", "--no-browser", "--user-data"], cwd=self.tmp, env=env,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        try:
            address = p.stdout.readline()
        finally:
            p.terminate()
            p.communicate(timeout=30)
        self.assertIn("http://127.0.0.1:", address)
        self.assertTrue(os.path.isfile(os.path.join(data, "quenlar", "Recovery.log")))
        self.assertFalse(os.path.exists(os.path.join(self.tmp, "Recovery.log")))

        # Root for a desktop user whose home is not there (nobody's
        # "/nonexistent"): nothing is made for them; the current folder is used.
        if os.geteuid() != 0:
            return
        import pwd
        nobody = pwd.getpwnam("nobody")
        if os.path.exists(nobody.pw_dir):
            return
        env.pop("XDG_DATA_HOME")
        env["PKEXEC_UID"] = str(nobody.pw_uid)
        p = subprocess.Popen([ARGS.quenlar, "gui", "--no-browser", "--user-data"], cwd=self.tmp, env=env,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        try:
            p.stdout.readline()
        finally:
            p.terminate()
            _, err = p.communicate(timeout=30)
        self.assertIn("cannot be made", err)
        self.assertFalse(os.path.exists(nobody.pw_dir))
        self.assertTrue(os.path.isfile(os.path.join(self.tmp, "Recovery.log")))

    def test_usage(self):
        r = quenlar()
        self.assertEqual(r.returncode, 2)
        r = quenlar("probe")
        self.assertEqual(r.returncode, 2)
        r = quenlar("frobnicate")
        self.assertEqual(r.returncode, 2)
        r = quenlar("--help")
        self.assertEqual(r.returncode, 0)
        self.assertIn("probe", r.stdout)
        r = quenlar("--version")
        self.assertEqual(r.returncode, 0)
        self.assertRegex(r.stdout, r"^quenlar \d+\.\d+\.\d+")


def main():
    global ARGS
    ARGS, rest = imagetest.parse_args()
    # The program writes its log and settings into its working folder.
    ARGS.workdir = tempfile.mkdtemp()
    os.chmod(ARGS.workdir, 0o777)
    try:
        unittest.main(argv=[sys.argv[0], *rest], verbosity=2)
    finally:
        shutil.rmtree(ARGS.workdir, ignore_errors=True)


if __name__ == "__main__":
    main()
