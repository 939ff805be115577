#!/usr/bin/env python3
"""`quenlar disks` against real partitioned loop devices.

The images get MBR and GPT tables from sfdisk and file systems from mkntfs,
mkfs.vfat and mkfs.exfat; one partition is mounted with ntfs-3g, a whole-disk
exFAT with exfat-fuse, and a copy of the NTFS test image with ntfs-3g straight
from its file. The list must agree with lsblk (sizes, starts, mount points)
and with blkid -p (file systems, labels, partition types and flags) on the
same devices, and follow the rules of the disk list: GPT type names, the
active MBR partition, the dynamic disk and its volume on the pseudo-disk,
partitions without a file system, partition 0 for a whole-disk file system.
"""
import json
import os
import shutil
import subprocess
import tempfile
import threading
import unittest

import imagetest

ARGS = None
PSEUDO = 0xFFFFFFFF

EFI = "c12a7328-f81f-11d2-ba4b-00a0c93ec93b"
MSR = "e3c9e316-0b5c-4db8-817d-f92df00215ae"
BASIC = "ebd0a0a2-b9e5-4433-87c0-68b6b72699c7"
RECOVERY = "de94bba4-06d1-4d40-a16a-bfd50179d6ac"
FS_NAMES = {"ntfs": "NTFS", "exfat": "exFAT"}


def run(*cmd, check=True, user=None, cwd=None):
    if user:
        cmd = ["runuser", "-u", user, "--", *cmd]
    return subprocess.run(cmd, capture_output=True, text=True, check=check, timeout=120, cwd=cwd)


def quenlar(*args, user=None):
    # The program writes its log and settings into its working folder.
    return run(ARGS.quenlar, *args, check=False, user=user, cwd=FIX.work)


def guid_text(guid):
    return "{" + guid.upper() + "}"


def blkid(device):
    out = run("blkid", "-p", "-o", "export", device, check=False).stdout
    return dict(line.split("=", 1) for line in out.splitlines() if "=" in line)


class Fixture:
    """Images attached as loop devices, with their partitions made by partx."""

    def __init__(self):
        self.tmp = tempfile.mkdtemp(prefix="quenlar-disks-")
        os.chmod(self.tmp, 0o755)
        self.loops = []
        self.mounts = []
        self.work = os.path.join(self.tmp, "work")
        os.mkdir(self.work)
        os.chmod(self.work, 0o777)

    def image(self, name, size_mib, table=None):
        path = os.path.join(self.tmp, name)
        with open(path, "wb") as f:
            f.truncate(size_mib << 20)
        if table:
            subprocess.run(["sfdisk", "-q", path], input=table, text=True, capture_output=True, check=True)
        loop = run("losetup", "-f", "--show", "-P", path).stdout.strip()
        self.loops.append(loop)
        if table:
            # This kernel does not always scan the table on attach.
            run("partx", "-a", loop, check=False)
        return loop

    def mount(self, command, source, name):
        point = os.path.join(self.tmp, name)
        os.mkdir(point)
        run(*command, source, point)
        self.mounts.append(point)
        return point

    def close(self):
        for point in reversed(self.mounts):
            run("umount", point, check=False)
        for loop in self.loops:
            run("losetup", "-d", loop, check=False)
        shutil.rmtree(self.tmp, ignore_errors=True)


FIX = None


def setUpModule():
    global FIX
    if os.geteuid() != 0:
        raise unittest.SkipTest("loop devices and mounts need root")
    for tool in ("losetup", "sfdisk", "partx", "lsblk", "blkid", "mkntfs", "mkfs.vfat", "mkfs.exfat", "ntfs-3g",
                 "mount.exfat-fuse", "runuser"):
        if not shutil.which(tool):
            raise unittest.SkipTest(tool + " is not installed")
    FIX = Fixture()
    try:
        FIX.mbr = FIX.image("mbr.img", 96, "label: dos\n size=24M, type=7, bootable\n size=24M, type=c\n"
                                           " size=8M, type=83\n type=5\n size=16M, type=7\n")
        run("mkntfs", "-Q", "-q", "-L", "Sys", FIX.mbr + "p1")
        run("mkfs.vfat", "-F", "32", "-n", "STICK", FIX.mbr + "p2")
        run("mkfs.exfat", "-L", "Logical", FIX.mbr + "p5")

        FIX.gpt = FIX.image("gpt.img", 96, f"label: gpt\n size=8M, type={EFI}\n size=4M, type={MSR}\n"
                                           f" size=32M, type={BASIC}\n size=16M, type={RECOVERY}\n")
        run("mkfs.vfat", "-F", "32", "-n", "ESP", FIX.gpt + "p1")
        run("mkntfs", "-Q", "-q", "-L", "Data", FIX.gpt + "p3")
        run("mkntfs", "-Q", "-q", "-L", "Recovery", FIX.gpt + "p4")
        FIX.data_mount = FIX.mount(["ntfs-3g"], FIX.gpt + "p3", "data")
        with open(os.path.join(FIX.data_mount, "hello.txt"), "w") as f:
            f.write("hello\n")

        FIX.dyn = FIX.image("dynamic.img", 32, "label: dos\n size=24M, type=42\n")
        run("mkntfs", "-Q", "-q", "-L", "Dyn", FIX.dyn + "p1")

        FIX.whole = FIX.image("whole.img", 16)
        run("mkfs.exfat", "-L", "Whole", FIX.whole)
        FIX.whole_mount = FIX.mount(["mount.exfat-fuse"], FIX.whole, "whole")

        FIX.file = os.path.join(FIX.tmp, "file.img")
        shutil.copy(os.path.join(ARGS.images, "ntfs.img"), FIX.file)
        FIX.file_mount = FIX.mount(["ntfs-3g", "-o", "ro"], FIX.file, "file")
    except Exception:
        FIX.close()
        raise


def tearDownModule():
    if FIX:
        FIX.close()


def disk_list(user=None):
    r = quenlar("disks", "--json", user=user)
    if r.returncode != 0:
        raise AssertionError(r.stderr)
    return json.loads(r.stdout)


def find_disk(disks, node):
    for d in disks:
        if d["devicePath"] == node:
            return d
    raise AssertionError(node + " is not listed")


def partition(disk, number):
    for p in disk["partitions"]:
        if p["partitionNumber"] == number:
            return p
    raise AssertionError(f"no partition {number} on {disk['devicePath']}")


class DiskList(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.disks = disk_list()

    def test_against_lsblk(self):
        for node in (FIX.mbr, FIX.gpt, FIX.dyn, FIX.whole):
            tree = json.loads(run("lsblk", "--json", "-b", "-o", "NAME,PATH,SIZE,START,RM,RO,MOUNTPOINT",
                                  node).stdout)["blockdevices"][0]
            disk = find_disk(self.disks, node)
            self.assertEqual(disk["diskSize"], tree["size"])
            self.assertEqual(disk["removable"], 1 if tree["rm"] else 0)
            self.assertEqual(bool(disk["diskFlags"] & 4), tree["ro"])
            name = os.path.basename(node)
            with open(f"/sys/block/{name}/diskseq") as f:
                self.assertEqual(disk["diskNumber"], int(f.read()))
            children = [c for c in tree.get("children", []) if c["size"] > 1024]  # not the extended container
            listed = [p for p in disk["partitions"] if p["partitionNumber"] != 0]
            self.assertEqual([p["devicePath"] for p in listed], [c["path"] for c in children])
            for p, c in zip(listed, children):
                self.assertEqual(p["totalBytes"], c["size"])
                self.assertEqual(p["startSector"], c["start"])
                if p["diskNumber"] != -1:
                    self.assertEqual(p["mountPath"], c["mountpoint"] or "")
        # The whole-disk exFAT is partition 0, mounted where lsblk says.
        whole = find_disk(self.disks, FIX.whole)["partitions"][0]
        self.assertEqual(whole["partitionNumber"], 0)
        self.assertEqual(whole["mountPath"], FIX.whole_mount)

    def test_against_blkid(self):
        for node in (FIX.mbr, FIX.gpt):
            disk = find_disk(self.disks, node)
            style = blkid(node)["PTTYPE"]
            for p in disk["partitions"]:
                info = blkid(p["devicePath"])
                self.assertEqual(p["partitionNumber"], int(info["PART_ENTRY_NUMBER"]))
                self.assertEqual(p["partitionStyle"], 1 if style == "gpt" else 0)
                self.assertEqual(p["label"], info.get("LABEL", ""))
                special = {EFI: "EFI", MSR: "MSR", RECOVERY: "RECOVERY"}.get(info["PART_ENTRY_TYPE"])
                fs = FS_NAMES.get(info.get("TYPE"), info.get("VERSION", ""))
                self.assertEqual(p["fileSystemName"], special or fs, p["devicePath"])
                if style == "gpt":
                    self.assertEqual(p["partitionType"], guid_text(info["PART_ENTRY_TYPE"]))
                    self.assertEqual(p["bootFlag"], 1 if special == "EFI" else 0)
                else:
                    self.assertEqual(p["partitionType"], guid_text("00000000-0000-0000-0000-000000000000"))
                    self.assertEqual(p["bootFlag"], 1 if info.get("PART_ENTRY_FLAGS") == "0x80" else 0)
                if info.get("TYPE") == "ntfs" and p["diskNumber"] != -1:
                    self.assertEqual(p["bytesPerCluster"], 4096)

    def test_rules(self):
        numbers = [d["diskNumber"] for d in self.disks]
        self.assertEqual(numbers, sorted(numbers))
        mbr = find_disk(self.disks, FIX.mbr)
        self.assertEqual([p["partitionNumber"] for p in mbr["partitions"]], [1, 2, 3, 5])
        self.assertEqual(partition(mbr, 1)["bootFlag"], 1)
        self.assertEqual(partition(mbr, 2)["fileSystemName"], "FAT32")
        self.assertEqual(partition(mbr, 5)["fileSystemName"], "exFAT")
        bare = partition(mbr, 3)
        self.assertEqual((bare["fileSystemName"], bare["label"], bare["mountPath"], bare["serialNumber"]),
                         ("", "", "", 0))
        self.assertEqual(bare["freeBytes"], bare["totalBytes"])

        gpt = find_disk(self.disks, FIX.gpt)
        msr = partition(gpt, 2)
        self.assertEqual((msr["fileSystemName"], msr["mountPath"], msr["driveType"]), ("MSR", "", 0))
        data = partition(gpt, 3)
        self.assertEqual((data["fileSystemName"], data["label"], data["mountPath"]), ("NTFS", "Data", FIX.data_mount))
        st = os.statvfs(FIX.data_mount)
        self.assertEqual(data["freeBytes"], st.f_bfree * st.f_frsize)
        self.assertEqual(data["driveType"], 3)
        self.assertEqual(partition(gpt, 4)["label"], "Recovery")

        dyn = find_disk(self.disks, FIX.dyn)
        self.assertEqual(dyn["diskFlags"] & 1, 1)
        self.assertEqual([p["diskNumber"] for p in dyn["partitions"]], [-1])
        self.assertEqual(dyn["partitions"][0]["label"], "")

        pseudo = self.disks[-1]
        self.assertEqual((pseudo["diskNumber"], pseudo["diskFlags"], pseudo["diskSize"]), (PSEUDO, 1, 0))
        others = {p["devicePath"]: p for p in pseudo["partitions"]}
        self.assertEqual(others[FIX.dyn + "p1"]["label"], "Dyn")
        self.assertEqual(others[FIX.dyn + "p1"]["diskNumber"], -1)
        image = others[FIX.file]
        self.assertEqual((image["fileSystemName"], image["mountPath"]), ("NTFS", FIX.file_mount))
        self.assertEqual(image["fileSystemFlags"] & 0x80000, 0x80000)  # mounted read-only

    def test_text(self):
        r = quenlar("disks")
        self.assertEqual(r.returncode, 0, r.stderr)
        gpt = find_disk(self.disks, FIX.gpt)
        self.assertIn(f"Disk {gpt['diskNumber']}  {FIX.gpt}  96.0 MiB", r.stdout)
        self.assertIn(f"  3  {FIX.gpt}p3  32.0 MiB  start 26624  NTFS  \"Data\"  on {FIX.data_mount}", r.stdout)
        self.assertIn("Other volumes", r.stdout)

    def test_disk_and_partition_options(self):
        gpt = find_disk(self.disks, FIX.gpt)["diskNumber"]
        r = quenlar("probe", "--json", "--disk", str(gpt), "--partition", "3")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(json.loads(r.stdout)["volume"], FIX.gpt + "p3")
        whole = find_disk(self.disks, FIX.whole)["diskNumber"]
        r = quenlar("probe", "--json", "--disk", str(whole), "--partition", "0")
        self.assertEqual(json.loads(r.stdout)["fileSystem"], "exFAT")
        mbr = find_disk(self.disks, FIX.mbr)["diskNumber"]
        r = quenlar("scan", "--json", "--disk", str(mbr), "--partition", "5")
        self.assertEqual(r.returncode, 0, r.stderr)
        position = [p["devicePath"] for p in self.disks[-1]["partitions"]].index(FIX.file) + 1
        r = quenlar("probe", "--json", "--disk", str(PSEUDO), "--partition", str(position))
        self.assertEqual(json.loads(r.stdout)["fileSystem"], "NTFS")

        # A mount point stands for the device mounted there.
        r = quenlar("probe", "--json", FIX.data_mount + "/")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(json.loads(r.stdout)["fileSystem"], "NTFS")
        mapped = json.loads(quenlar("probe", "--json", FIX.file_mount).stdout)
        direct = json.loads(quenlar("probe", "--json", FIX.file).stdout)
        self.assertEqual((mapped["volumeSectors"], mapped["mftRuns"]), (direct["volumeSectors"], direct["mftRuns"]))

        for args, code in (((str(gpt), "9"), 1), ((str(max(d["diskNumber"] for d in self.disks[:-1]) + 1000), "1"), 1)):
            r = quenlar("probe", "--disk", args[0], "--partition", args[1])
            self.assertEqual(r.returncode, code)
            self.assertEqual(len(r.stderr.splitlines()), 1, r.stderr)
        self.assertEqual(quenlar("probe", "--disk", str(gpt)).returncode, 2)
        self.assertEqual(quenlar("probe", FIX.file, "--disk", str(gpt), "--partition", "1").returncode, 2)

    def test_without_permission(self):
        # Another user cannot open the devices: the list keeps every disk and
        # partition the system shows, with what it can read.
        theirs = disk_list(user="nobody")
        for node in (FIX.mbr, FIX.gpt, FIX.dyn):
            mine = find_disk(self.disks, node)
            seen = find_disk(theirs, node)
            self.assertEqual(seen["diskSize"], mine["diskSize"])
            self.assertEqual([p["devicePath"] for p in seen["partitions"]],
                             [p["devicePath"] for p in mine["partitions"] if p["devicePath"]])
            self.assertEqual({p["partitionStyle"] for p in seen["partitions"]}, {2})


class Detach(unittest.TestCase):
    def test_devices_that_come_and_go(self):
        # A loop device with a partition table attached and detached over and
        # over while the list is read: every run succeeds and the others stay whole.
        path = os.path.join(FIX.tmp, "flicker.img")
        with open(path, "wb") as f:
            f.truncate(16 << 20)
        subprocess.run(["sfdisk", "-q", path], input="label: dos\n size=4M\n size=4M\n", text=True, check=True,
                       capture_output=True)
        baseline = find_disk(disk_list(), FIX.gpt)
        stop = threading.Event()
        cycles = []

        def flicker():
            while not stop.is_set():
                loop = run("losetup", "-f", "--show", "-P", path, check=False).stdout.strip()
                if loop:
                    run("partx", "-a", loop, check=False)
                    run("losetup", "-d", loop, check=False)
                    cycles.append(loop)

        worker = threading.Thread(target=flicker)
        worker.start()
        try:
            for _ in range(25):
                self.assertEqual(find_disk(disk_list(), FIX.gpt), baseline)
        finally:
            stop.set()
            worker.join()
        self.assertGreater(len(cycles), 0, "no loop device could be attached")


if __name__ == "__main__":
    imagetest.run_tests(globals())
