#!/usr/bin/env python3
"""`quenlar scan` and `quenlar resume` on the test images, against the
manifest of what was written and against The Sleuth Kit's view of the same
image (fls -r -p, fls -r -d -p).

Every difference between our list and TSK's is explained by a named rule:
  SYSTEM   records 0-35 belong to the file system ($MFT, $Extend/..., the
           reserved records TSK shows as $OrphanFiles/OrphanFile-16..23) and
           never become results;
  ORPHAN   TSK puts files whose parent chain is gone under $OrphanFiles, we
           under lost_dir;
  VIRTUAL  TSK's own virtual folder $OrphanFiles has no record.
"""
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

import imagetest

ARGS = None


quenlar = imagetest.quenlar
results = imagetest.results
our_path = imagetest.our_path
fls = imagetest.fls
manifest = imagetest.manifest
manifest_digests = imagetest.manifest_digests
sha256 = imagetest.sha256
Workdir = imagetest.Workdir


def explain(path, entry):
    """The rule that explains a TSK entry we do not list, or None."""
    inode, _, _ = entry
    if path == "$OrphanFiles":
        return "VIRTUAL"
    if inode < 36:
        return "SYSTEM"
    return None


class NormalScanAgainstTsk(Workdir):
    def test_ntfs(self):
        image = os.path.join(ARGS.images, "ntfs.img")
        ours = {}
        for row in results(quenlar("scan", "--json", image, cwd=self.dir).stdout):
            path = our_path(row)
            if path.startswith("lost_dir/"):
                path = "$OrphanFiles/" + path[len("lost_dir/"):]  # ORPHAN
            ours[path] = row
        theirs = fls(image)
        deleted_only = fls(image, "-d")
        written = manifest("ntfs")

        unexplained = []
        for path, entry in theirs.items():
            if path in ours:
                row = ours[path]
                self.assertEqual(row["fileNo"], entry[0], path)
                self.assertEqual(row["dir"] == 1, entry[1], path)
                self.assertEqual(row["exist"] == 20, entry[2], path)
                self.assertEqual(entry[2], path in deleted_only, path)
            elif explain(path, entry) is None:
                unexplained.append(path)
        for path in ours:
            if path not in theirs:
                unexplained.append("ours only: " + path)
        self.assertEqual(unexplained, [])

        # And against what was written: sizes, states, folders.
        for path, (kind, size, state) in written.items():
            row = ours[path]
            self.assertEqual(row["dir"], 1 if kind == "d" else 0, path)
            self.assertEqual(row["exist"], 10 if state == "existing" else 20, path)
            if kind == "f":
                self.assertEqual(row["size"], size, path)
        self.assertEqual(len(ours), len(written))


class ExfatScanAgainstTsk(Workdir):
    """exFAT rules, besides those above:
      METADATA  TSK lists the volume label, the allocation bitmap, the up-case
                table and its virtual files ($MBR, $FAT1, $OrphanFiles);
      EMPTY     a file of size 0 has no first cluster: no result;
      REUSED    a deleted folder whose first cluster is in use again is
                dropped, and with it what TSK reads from that cluster now."""

    def test_exfat(self):
        image = os.path.join(ARGS.images, "exfat.img")
        rows = results(quenlar("scan", "--json", image, cwd=self.dir).stdout)
        ours = {our_path(r): r for r in rows}
        theirs = fls(image)
        written = manifest("exfat")

        def rule(path, entry):
            if path.startswith("$") or "(Volume Label Entry)" in path:
                return "METADATA"
            if path in written and written[path][0] == "f" and written[path][1] == 0:
                return "EMPTY"
            if path == "Documents/Reused" or path.startswith("Documents/Reused/"):
                return "REUSED"
            return None

        unexplained = [p for p, e in theirs.items() if p not in ours and rule(p, e) is None]
        unexplained += ["ours only: " + p for p in ours if p not in theirs]
        self.assertEqual(unexplained, [])
        for path, (kind, size, state) in written.items():
            if kind == "f" and size == 0:
                continue
            row = ours[path]
            self.assertEqual(row["dir"], 1 if kind == "d" else 0, path)
            self.assertEqual(row["exist"] == 20, state == "deleted", path)
            self.assertEqual(theirs[path][2], state == "deleted", path)
            if kind == "f":
                self.assertEqual(row["size"], size, path)
        self.assertIn("a very long file name that needs many long name entries.txt", ours)
        self.assertIn("sixteen chars ok.txt", ours)

    def test_recovery(self):
        # Existing files (chained ones too) and deleted contiguous files come
        # back byte-exact; exfat-fuse clears a deleted file's chain, so a
        # deleted chained file is listed but its bytes are not expected.
        image = os.path.join(ARGS.images, "exfat.img")
        rows = {our_path(r): r for r in results(quenlar("scan", "--json", image, cwd=self.dir).stdout)}
        out = os.path.join(self.dir, "out")
        quenlar("recover", image, "--dest", out, "--all", cwd=self.dir, check=False)
        digests = manifest_digests("exfat")
        checked = 0
        for path, (kind, size, state) in manifest("exfat").items():
            if kind != "f" or size == 0:
                continue
            chained = rows[path]["extents"][0][2] == 1
            if state == "deleted" and chained:
                continue
            self.assertEqual(sha256(os.path.join(out, path)), digests[path], path)
            checked += 1
        self.assertGreater(checked, 15)
        self.assertEqual(rows["big/fragmented.bin"]["extents"][0][2], 1)


class Fat32ScanAgainstTsk(Workdir):
    """FAT32 rules, besides those above:
      METADATA  TSK lists the volume label and its virtual files;
      EMPTY     a file of size 0 has no start cluster: no result;
      NAMES     a deleted 8.3-only name lost its first character: TSK shows
                "_", we "#"; TSK shows 8.3 bytes of code page 850 it cannot
                decode as "^", we decode them (gelöscht). Names are compared
                with the first character of a deleted name and every
                non-ASCII character or "^" folded to "?"."""

    @staticmethod
    def fold(path, deleted):
        folder, _, name = path.rpartition("/")
        if deleted and name:
            name = "?" + name[1:]
        text = (folder + "/" if folder else "") + name
        return "".join("?" if ord(ch) > 127 or ch == "^" else ch for ch in text)

    def test_fat32(self):
        image = os.path.join(ARGS.images, "fat32.img")
        rows = results(quenlar("scan", "--json", image, cwd=self.dir).stdout)
        ours = {self.fold(our_path(r), r["exist"] == 20): r for r in rows}
        theirs = fls(image)
        written = manifest("fat32")
        unexplained = []
        for path, entry in theirs.items():
            if path.startswith("$") or "(Volume Label Entry)" in path:
                continue  # METADATA
            if path in written and written[path][0] == "f" and written[path][1] == 0:
                continue  # EMPTY
            if self.fold(path, entry[2]) not in ours:
                unexplained.append(path)
        self.assertEqual(unexplained, [])
        self.assertEqual(len(ours), len([p for p, row in written.items() if not (row[0] == "f" and row[1] == 0)]))

    def test_deleted_files_above_the_low_word_come_back(self):
        # In High the deleted entries' high words were cleared as Windows
        # does: the start search finds jpg, png, pdf and docx by their
        # headers; a file without extension takes its folder's high word; a
        # txt has no header to find and keeps its low-word guess.
        image = os.path.join(ARGS.images, "fat32.img")
        out = os.path.join(self.dir, "out")
        quenlar("recover", image, "--dest", out, "--folder", "High", cwd=self.dir, check=False)
        digests = manifest_digests("fat32")
        for name in ["photo.jpg", "image.png", "paper.pdf", "letter.docx", "noext"]:
            recovered = os.path.join(out, "High", name if name == "letter.docx" else "#" + name[1:])
            self.assertEqual(sha256(recovered), digests["High/" + name], name)
        self.assertNotEqual(sha256(os.path.join(out, "High", "#lain.txt")), digests["High/plain.txt"])


def catches_interrupt(pid):
    """Whether process `pid` has a handler for SIGINT."""
    try:
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                if line.startswith("SigCgt:"):
                    return int(line.split()[1], 16) & (1 << (signal.SIGINT - 1)) != 0
    except OSError:
        pass
    return False


class DeepScanPauseAndResume(Workdir):
    def canonical(self, rows):
        return sorted(json.dumps({k: v for k, v in row.items() if k != "index"}, sort_keys=True) for row in rows)

    def test_stop_and_resume_give_the_unbroken_result(self):
        image = os.path.join(ARGS.images, "ntfs-reformatted.img")
        unbroken = results(quenlar("scan", "--deep", "--json", image, cwd=self.dir).stdout)

        paused = quenlar("scan", "--deep", "--json", "--stop-at-sector", "1000", image, cwd=self.dir)
        self.assertIn("deep scan paused at sector", paused.stderr)
        self.assertLess(len(results(paused.stdout)), len(unbroken))
        resumed = quenlar("resume", "--json", cwd=self.dir)
        self.assertEqual(self.canonical(results(resumed.stdout)), self.canonical(unbroken))

        # The finished scan left nothing to resume.
        again = quenlar("resume", cwd=self.dir, check=False)
        self.assertEqual(again.returncode, 1)
        self.assertIn("no saved scan", again.stderr)

        # Every file of the earlier volume is among the deep scan's results.
        paths = {our_path(r): r for r in unbroken}
        for path, (kind, size, state) in manifest("ntfs-reformatted").items():
            self.assertIn(path, paths)
            if kind == "f":
                self.assertEqual(paths[path]["size"], size, path)

    def test_a_saved_scan_is_not_used_once_its_image_was_replaced(self):
        image = os.path.join(self.dir, "volume.img")
        shutil.copyfile(os.path.join(ARGS.images, "ntfs-reformatted.img"), image)
        unbroken = results(quenlar("scan", "--deep", "--json", image, cwd=self.dir).stdout)
        paused = quenlar("scan", "--deep", "--json", "--stop-at-sector", "1000", image, cwd=self.dir)
        self.assertIn("deep scan paused at sector", paused.stderr)
        # Another volume (of the same size and file system) now at that path.
        shutil.copyfile(os.path.join(ARGS.images, "ntfs.img"), image)
        out = os.path.join(self.dir, "out")
        for command in (["resume", "--json"], ["recover", "--saved", "--dest", out, "--all"], ["tree", "--saved"],
                        ["ls", "--saved", ""], ["filter", "--saved"]):
            r = quenlar(*command, cwd=self.dir, check=False)
            self.assertEqual(r.returncode, 1, command)
            self.assertIn("no longer holds the volume the saved scan was made of", r.stderr, command)
            self.assertIn("serial number", r.stderr, command)
            self.assertEqual(r.stdout, "", command)
        self.assertFalse(os.path.exists(out))
        # The saved scan is kept: with its volume back, it goes on.
        shutil.copyfile(os.path.join(ARGS.images, "ntfs-reformatted.img"), image)
        resumed = quenlar("resume", "--json", cwd=self.dir)
        self.assertEqual(self.canonical(results(resumed.stdout)), self.canonical(unbroken))

    def test_a_pause_during_the_normal_scan_keeps_the_saved_scan(self):
        saved = os.path.join(ARGS.images, "ntfs-reformatted.img")
        unbroken = results(quenlar("scan", "--deep", "--json", saved, cwd=self.dir).stdout)
        quenlar("scan", "--deep", "--json", "--stop-at-sector", "1000", saved, cwd=self.dir)
        # A volume whose normal scan lasts long enough to be interrupted.
        other = os.path.join(self.dir, "many.img")
        subprocess.run([sys.executable, os.path.join(os.path.dirname(__file__), "..", "bench", "mkvolume.py"), "fat32",
                        other, "--files", "200000", "--cluster", "1024", "--min-size", str(512 << 20)],
                       check=True, capture_output=True)
        for attempt in range(5):
            proc = subprocess.Popen([ARGS.quenlar, "scan", "--deep", "--discard-saved", "--json", other], cwd=self.dir,
                                    stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
            # Once the program catches Ctrl-C (a slow start, under a
            # sanitizer, would otherwise meet the default action).
            while proc.poll() is None and not catches_interrupt(proc.pid):
                time.sleep(0.005)
            time.sleep(0.05)
            proc.send_signal(signal.SIGINT)
            out, err = proc.communicate(timeout=120)
            if "normal scan stopped" in err:
                break
            if "paused" in err:
                self.skipTest("the normal scan ended before the interrupt arrived")
        self.assertIn("nothing was saved", err)
        resumed = quenlar("resume", "--json", cwd=self.dir)
        self.assertEqual(self.canonical(results(resumed.stdout)), self.canonical(unbroken))

    def test_interrupt_pauses_and_saves(self):
        if not shutil.which("mkntfs"):
            self.skipTest("mkntfs is not installed")
        # A large, sparse, empty NTFS volume: the deep scan takes long enough
        # to be interrupted.
        image = os.path.join(self.dir, "large.img")
        with open(image, "wb") as f:
            f.truncate(8 << 30)
        subprocess.run(["mkntfs", "-F", "-f", "-q", image], check=True, capture_output=True)
        proc = subprocess.Popen([ARGS.quenlar, "scan", "--deep", "--json", image], cwd=self.dir,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        time.sleep(0.5)
        proc.send_signal(signal.SIGINT)
        out, err = proc.communicate(timeout=120)
        if "deep scan paused" not in err:
            self.skipTest("the deep scan finished before the interrupt arrived")
        self.assertEqual(proc.returncode, 0, err)
        m = re.search(r"paused at sector (\d+) of (\d+)", err)
        self.assertLess(int(m.group(1)), int(m.group(2)))
        resumed = quenlar("resume", "--json", cwd=self.dir)
        self.assertEqual(resumed.returncode, 0)


class FormattedCards(Workdir):
    """Camera cards quick-formatted after they were written: the deep scan
    finds the old folders' clusters, and every file comes back with its long
    name in its folder. Only the names the root held (the top folders') are
    gone with the format: their contents are under lost_dir."""

    def expected_path(self, path):
        return "lost_dir/" + path.split("/", 1)[1]

    def check_card(self, name):
        image = os.path.join(ARGS.images, name + ".img")
        self.assertEqual(results(quenlar("scan", "--json", image, cwd=self.dir).stdout), [])
        unbroken = results(quenlar("scan", "--deep", "--json", image, cwd=self.dir).stdout)
        paths = [our_path(r) for r in unbroken]
        self.assertEqual(len(paths), len(set(paths)), "a file listed twice")
        self.assertTrue(all(r["exist"] == 30 for r in unbroken))

        out = os.path.join(self.dir, "out-" + name)
        r = quenlar("recover", image, "--deep", "--dest", out, "--all", cwd=self.dir)
        digests = manifest_digests(name)
        files = [p for p, row in manifest(name).items() if row[0] == "f"]
        self.assertIn(f"{len(files)} of {len(files)} files written whole, 0 doubtful", r.stdout)
        back = [p for p in files if os.path.exists(os.path.join(out, self.expected_path(p))) and
                sha256(os.path.join(out, self.expected_path(p))) == digests[p]]
        self.assertEqual(sorted(back), sorted(files))

        # The Sleuth Kit reads the same old folders: we give back at least
        # as many files, byte-exact under their names.
        if shutil.which("tsk_recover"):
            theirs = os.path.join(self.dir, "tsk-" + name)
            subprocess.run(["tsk_recover", "-e", image, theirs], capture_output=True, check=True)
            named = {}
            for folder, _, names in os.walk(theirs):
                for n in names:
                    named.setdefault(n, set()).add(sha256(os.path.join(folder, n)))
            tsk = sum(1 for p in files if digests[p] in named.get(os.path.basename(p), ()))
            self.assertGreaterEqual(len(back), tsk)

        # Paused anywhere and resumed, the search gives the same results.
        for stop in (2100, 40000, 70000):
            paused = quenlar("scan", "--deep", "--json", "--stop-at-sector", str(stop), image, cwd=self.dir)
            self.assertIn("deep scan paused at sector", paused.stderr)
            resumed = quenlar("resume", "--json", cwd=self.dir)
            self.assertEqual(DeepScanPauseAndResume.canonical(None, results(resumed.stdout)),
                             DeepScanPauseAndResume.canonical(None, unbroken), stop)

    def test_fat32_card(self):
        self.check_card("fat32-formatted")

    def test_exfat_card(self):
        self.check_card("exfat-formatted")

    def test_volumes_in_use_list_nothing_twice(self):
        # On volumes whose folders the normal scan reads, deleted folders
        # among them, the search adds nothing they already list.
        for name in ("fat32", "exfat", "fat32-overwritten", "exfat-overwritten"):
            image = os.path.join(ARGS.images, name + ".img")
            normal = results(quenlar("scan", "--json", image, cwd=self.dir).stdout)
            deep = results(quenlar("scan", "--deep", "--json", image, cwd=self.dir).stdout)
            self.assertEqual(DeepScanPauseAndResume.canonical(None, deep),
                             DeepScanPauseAndResume.canonical(None, normal), name)


class FoundByContent(Workdir):
    """Cards whose old folders were written over after a quick format, and an
    NTFS volume whose $MFT was: only the files' content is left. The deep
    scan finds them by it, names them by what they say of themselves where
    they do, and gives back the bytes that were written."""

    KINDS = (".jpg", ".png", ".pdf", ".docx", ".xlsx", ".mp4", ".zip", ".tif", ".cr2", ".doc", ".xls", ".mp3", ".rtf",
             ".7z", ".rar")

    def expected_names(self, name):
        with open(os.path.join(ARGS.manifests, name + ".names.tsv"), encoding="utf-8") as f:
            return dict(line.rstrip("\n").split("\t") for line in f)

    @staticmethod
    def digests_under(folder):
        found = {}
        for where, _, names in os.walk(folder):
            for n in names:
                if not n.startswith("quenlar-receipt"):
                    found.setdefault(sha256(os.path.join(where, n)), []).append(n)
        return found

    def check_volume(self, name, damaged=False):
        image = os.path.join(ARGS.images, name + ".img")

        def run(*args):
            # A volume whose metadata is damaged says so, and exits with 1.
            r = quenlar(*args, cwd=self.dir, check=not damaged)
            if damaged:
                self.assertIn(r.returncode, (1, 3), r.stderr)
                self.assertIn("$MFT", r.stderr)
            return r

        unbroken = results(run("scan", "--deep", "--json", image).stdout)
        self.assertTrue(unbroken)
        self.assertTrue(all(r["exist"] == 30 and r["path"].startswith("Found by content\\") for r in unbroken))
        paths = [our_path(r) for r in unbroken]
        self.assertEqual(len(paths), len(set(paths)), "a name given twice")

        out = os.path.join(self.dir, "out-" + name)
        r = run("recover", image, "--deep", "--dest", out, "--all")
        self.assertIn("0 doubtful, 0 partial, 0 failed", r.stdout)
        back = self.digests_under(out)
        digests = manifest_digests(name)
        wanted = [p for p, (kind, _, _) in manifest(name).items()
                  if kind == "f" and os.path.splitext(p)[1].lower() in self.KINDS]
        exact = [p for p in wanted if digests[p] in back]
        self.assertGreaterEqual(len(exact), 0.95 * len(wanted), sorted(set(wanted) - set(exact)))
        # Photos by the date they were taken, PDFs by their title, movies by
        # the time they were made.
        for path, expected in self.expected_names(name).items():
            self.assertIn(expected, back.get(digests[path], []), path)
        # Where the kind has an end mark, nothing but the file's bytes.
        self.assertEqual(len(unbroken), len(exact))

        # Paused inside files and resumed, the search follows them on.
        for stop in (2100, 4200, 6300, 8400):
            paused = run("scan", "--deep", "--json", "--stop-at-sector", str(stop), image)
            self.assertIn("deep scan paused at sector", paused.stderr)
            resumed = run("resume", "--json")
            self.assertEqual(DeepScanPauseAndResume.canonical(None, results(resumed.stdout)),
                             DeepScanPauseAndResume.canonical(None, unbroken), stop)

        # Without the search by content the volume shows nothing.
        self.assertEqual(results(run("scan", "--deep", "--no-content", "--json", image).stdout), [])

        # PhotoRec on the same image: we give back at least as many files
        # of these kinds byte-exact.
        if shutil.which("photorec"):
            theirs = os.path.join(self.dir, "photorec-" + name)
            os.makedirs(theirs)
            subprocess.run(["photorec", "/log", "/d", os.path.join(theirs, "out"), "/cmd", image,
                            "partition_none,options,mode_ext2,fileopt,everything,enable,search"],
                           capture_output=True, cwd=self.dir, check=False)
            recovered = self.digests_under(theirs)
            photorec = sum(1 for p in wanted if digests[p] in recovered)
            self.assertGreater(photorec, 0, "PhotoRec did not run")
            self.assertGreaterEqual(len(exact), photorec)

    def test_fat32_card_with_its_folders_overwritten(self):
        self.check_volume("fat32-carved")

    def test_exfat_card_with_its_folders_overwritten(self):
        self.check_volume("exfat-carved")

    def test_ntfs_volume_with_its_mft_overwritten(self):
        self.check_volume("ntfs-carved", damaged=True)

    def test_a_folder_found_after_a_pause_takes_the_place_of_its_files_found_by_content(self):
        # On a formatted card a file's data may come before the old folder
        # that names it: paused in between, the file is kept as found by its
        # content; the resumed search finds the folder, and the folder's copy
        # must take its place, as in a search never paused.
        # The same with an old NTFS record found after the resume.
        for name, stops in (("fat32-formatted", (3600, 4200, 5100)), ("ntfs-reformatted", (3200,))):
            image = os.path.join(ARGS.images, name + ".img")
            unbroken = results(quenlar("scan", "--deep", "--json", image, cwd=self.dir).stdout)
            for stop in stops:
                paused = quenlar("scan", "--deep", "--json", "--stop-at-sector", str(stop), image, cwd=self.dir)
                self.assertIn("deep scan paused at sector", paused.stderr)
                resumed = quenlar("resume", "--json", cwd=self.dir)
                self.assertEqual(DeepScanPauseAndResume.canonical(None, results(resumed.stdout)),
                                 DeepScanPauseAndResume.canonical(None, unbroken), (name, stop))

    def test_a_volume_with_no_file_system_left_is_searched_whole(self):
        # The card with its boot sector, its backup and all before its FAT
        # zeroed too: no file system is left to read, only the files' content.
        image = os.path.join(self.dir, "no-file-system.img")
        shutil.copyfile(os.path.join(ARGS.images, "fat32-carved.img"), image)
        with open(image, "r+b") as f:
            f.write(bytes(32 * 512))
        plain = quenlar("scan", image, cwd=self.dir, check=False)
        self.assertEqual(plain.returncode, 1)
        self.assertIn("scan --deep", plain.stderr)
        out = os.path.join(self.dir, "out")
        r = quenlar("recover", image, "--deep", "--all", "--dest", out, cwd=self.dir)
        self.assertIn("no NTFS, FAT32 or exFAT file system", r.stderr)
        self.assertIn("0 doubtful, 0 partial, 0 failed", r.stdout)
        back = self.digests_under(out)
        digests = manifest_digests("fat32-carved")
        wanted = [p for p, (kind, _, _) in manifest("fat32-carved").items()
                  if kind == "f" and os.path.splitext(p)[1].lower() in self.KINDS]
        self.assertEqual(sorted(p for p in wanted if digests[p] in back), sorted(wanted))
        for path, expected in self.expected_names("fat32-carved").items():
            self.assertIn(expected, back.get(digests[path], []), path)


class LostPartitions(Workdir):
    """Disks whose partition tables were zeroed (GPT at both ends, MBR), and
    one partitioned again from sector 63 to 2048 over an older NTFS volume:
    the search finds each volume with its start and size, quick and whole,
    and each scans and recovers by its start."""

    def partitions(self, name):
        with open(os.path.join(ARGS.manifests, name + ".partitions.tsv")) as f:
            next(f)
            return [(int(a), int(b), c) for a, b, c in (line.split() for line in f)]

    def test_volumes_no_table_names_are_found_and_read(self):
        names = {"ntfs": "NTFS", "fat32": "FAT32", "exfat": "exFAT"}
        for name in ("gpt-lost", "mbr-lost", "repartitioned"):
            image = os.path.join(ARGS.images, name + ".img")
            expected = {(start, sectors, names[fs]) for start, sectors, fs in self.partitions(name)}
            for whole in ([], ["--whole"]):
                found = json.loads(quenlar("partitions", "--json", *whole, image, cwd=self.dir).stdout)
                self.assertEqual({(v["startSector"], v["sectors"], v["fileSystem"]) for v in found}, expected,
                                 (name, whole))
                self.assertTrue(all(not v["fromBackup"] for v in found))
            if name == "repartitioned":
                by_start = {v["startSector"]: v for v in found}
                self.assertTrue(by_start[2048]["inTable"] and not by_start[63]["inTable"])
                self.assertEqual(found[0]["startSector"], 2048)  # the table's own first
                self.assertEqual(by_start[63]["label"], "OLD")
            digests = manifest_digests(name)
            for start, _, _ in self.partitions(name):
                if name == "repartitioned" and start == 63:
                    # The new volume was written over much of the old one's
                    # data: its files are listed, not all of them whole.
                    listed = {our_path(r) for r in results(quenlar("scan", "--json", f"{image}@63", cwd=self.dir).stdout)}
                    for p in manifest(name):
                        if p.startswith("@63/"):
                            self.assertIn(p[len("@63/"):], listed)
                    continue
                out = os.path.join(self.dir, f"{name}-{start}")
                quenlar("recover", f"{image}@{start}", "--dest", out, "--all", cwd=self.dir)
                prefix = f"@{start}/"
                files = [p for p, row in manifest(name).items() if p.startswith(prefix) and row[0] == "f"]
                self.assertTrue(files)
                for p in files:
                    self.assertEqual(sha256(os.path.join(out, p[len(prefix):])), digests[p], p)
            # The same by --at, and a disk scanned as a volume says where to look.
            start = self.partitions(name)[0][0]
            self.assertEqual(results(quenlar("scan", "--json", image, "--at", str(start), cwd=self.dir).stdout),
                             results(quenlar("scan", "--json", f"{image}@{start}", cwd=self.dir).stdout))
            if name != "repartitioned":
                r = quenlar("scan", image, cwd=self.dir, check=False)
                self.assertEqual(r.returncode, 1)
                self.assertIn("quenlar partitions", r.stderr)

    def test_a_disk_of_one_volume_and_garbage(self):
        # A volume image is found at sector 0; a file of no volume gives none.
        found = json.loads(quenlar("partitions", "--json", os.path.join(ARGS.images, "fat32.img"), cwd=self.dir).stdout)
        self.assertEqual([(v["startSector"], v["fileSystem"]) for v in found], [(0, "FAT32")])
        # A file whose own name ends in @N is read as itself.
        named = os.path.join(self.dir, "card@2048")
        shutil.copyfile(os.path.join(ARGS.images, "fat32.img"), named)
        self.assertEqual(json.loads(quenlar("probe", "--json", named, cwd=self.dir).stdout)["fileSystem"], "FAT32")
        junk = os.path.join(self.dir, "junk.img")
        with open(junk, "wb") as f:
            f.write(os.urandom(4 << 20))
        self.assertEqual(json.loads(quenlar("partitions", "--json", "--whole", junk, cwd=self.dir).stdout), [])


class Recover(Workdir):
    def test_every_file_comes_back_byte_exact(self):
        image = os.path.join(ARGS.images, "ntfs.img")
        out = os.path.join(self.dir, "out")
        r = quenlar("recover", image, "--dest", out, "--all", cwd=self.dir)
        written = manifest("ntfs")
        digests = manifest_digests("ntfs")
        files = {p: row for p, row in written.items() if row[0] == "f"}
        # Every byte of every file: the deleted ones of made-up content may
        # be called doubtful, but they are written whole all the same.
        m = re.search(rf"(\d+) of {len(files)} files written whole, (\d+) doubtful, 0 partial, 0 failed", r.stdout)
        self.assertTrue(m, r.stdout)
        self.assertEqual(int(m.group(1)) + int(m.group(2)), len(files))
        for path, (kind, size, state) in files.items():
            self.assertEqual(sha256(os.path.join(out, path)), digests[path], path)
        self.assertEqual(os.path.getsize(os.path.join(out, "empty.txt")), 0)

        # Once more, one folder: numbered names beside the first ones.
        quenlar("recover", image, "--dest", out, "--folder", "Trash", cwd=self.dir)
        self.assertTrue(os.path.exists(os.path.join(out, "Trash", "gone_1.jpg")))
        self.assertTrue(os.path.exists(os.path.join(out, "Trash", "kept_1.txt")))
        self.assertFalse(os.path.exists(os.path.join(out, "readme_1.txt")))

    def test_hostile_names_stay_inside_the_destination(self):
        # The NTFS image with names edited in their records: the folder Trash
        # becomes "..", the file kept.txt "../x.txt" and gone.jpg "/etc.jpg".
        with open(os.path.join(ARGS.images, "ntfs.img"), "rb") as f:
            data = bytearray(f.read())

        def rename(old, new):
            assert len(new) <= len(old)
            count = 0
            for ns in (0, 1, 3):
                pattern = bytes([len(old), ns]) + old.encode("utf-16-le")
                at = data.find(pattern)
                while at != -1:
                    data[at] = len(new)
                    data[at + 2:at + 2 + 2 * len(new)] = new.encode("utf-16-le")
                    count += 1
                    at = data.find(pattern, at + 1)
            assert count > 0, old

        rename("Trash", "..")
        rename("kept.txt", "../x.txt")
        rename("gone.jpg", "/etc.jpg")
        image = os.path.join(self.dir, "hostile.img")
        with open(image, "wb") as f:
            f.write(data)
        sandbox = os.path.join(self.dir, "sandbox")
        out = os.path.join(sandbox, "out")
        os.makedirs(sandbox)
        r = quenlar("recover", image, "--dest", out, "--all", cwd=self.dir)
        self.assertIn(" 0 failed", r.stdout)
        self.assertEqual(os.listdir(sandbox), ["out"])
        for root, dirs, files in os.walk(out):
            for name in dirs + files:
                self.assertTrue(os.path.realpath(os.path.join(root, name)).startswith(os.path.realpath(out) + "/"))
        self.assertTrue(os.path.exists(os.path.join(out, "_..", ".._x.txt")))
        self.assertTrue(os.path.exists(os.path.join(out, "_..", "_etc.jpg")))

    def test_a_destination_that_cannot_take_the_files_is_refused_whole(self):
        image = os.path.join(ARGS.images, "fat32.img")
        afile = os.path.join(self.dir, "a file")
        with open(afile, "w") as f:
            f.write("x")
        cases = [(afile, "is a file, not a folder"), (os.path.join(afile, "below"), "is not a folder"),
                 ("/proc/quenlar", 'cannot write in "/proc"')]
        small = os.path.join(self.dir, "small")
        os.mkdir(small)
        mounted = os.geteuid() == 0 and subprocess.run(["mount", "-t", "tmpfs", "-o", "size=64k", "tmpfs", small],
                                                      capture_output=True).returncode == 0
        if mounted:
            cases.append((os.path.join(small, "out"), "free, and the files chosen need"))
        try:
            for dest, said in cases:
                r = quenlar("recover", image, "--dest", dest, "--all", cwd=self.dir, check=False)
                self.assertEqual(r.returncode, 1, dest)
                self.assertIn(said, r.stderr, dest)
                self.assertEqual(r.stderr.count("\n"), 1, r.stderr)  # one sentence, nothing written
            if mounted:
                self.assertEqual(os.listdir(small), [])
                # A thousand notes of 10 bytes: 10 kB of data, but a page of
                # the tmpfs each, 4 MB in all, on 3 MB.
                subprocess.run(["umount", small], check=True)
                subprocess.run(["mount", "-t", "tmpfs", "-o", "size=3m", "tmpfs", small], check=True)
                notes = os.path.join(self.dir, "notes")
                os.mkdir(notes)
                for i in range(1000):
                    with open(os.path.join(notes, "note%04d.txt" % i), "w") as f:
                        f.write("note %04d\n" % i)
                card = os.path.join(self.dir, "notes.img")
                subprocess.run(["mkfs.vfat", "-F", "32", "-C", card, "40000"], check=True, capture_output=True)
                subprocess.run(["mcopy", "-s", "-i", card, notes, "::/"], check=True,
                               env={**os.environ, "MTOOLS_SKIP_CHECK": "1"})
                r = quenlar("recover", card, "--dest", small, "--all", cwd=self.dir, check=False)
                self.assertEqual(r.returncode, 1, r.stdout)
                self.assertIn("free, and the files chosen need 4.1 MB", r.stderr)
                self.assertEqual(os.listdir(small), [])
        finally:
            if mounted:
                subprocess.run(["umount", small], check=False)

    def test_never_onto_the_source(self):
        if os.geteuid() != 0 or not shutil.which("losetup") or not shutil.which("ntfs-3g"):
            self.skipTest("needs root, loop devices and ntfs-3g")
        copy = os.path.join(self.dir, "copy.img")
        shutil.copy(os.path.join(ARGS.images, "ntfs.img"), copy)
        try:
            loop = subprocess.run(["losetup", "-f", "--show", copy], capture_output=True, text=True,
                                  check=True).stdout.strip()
        except subprocess.CalledProcessError as e:
            self.skipTest("no loop device: " + e.stderr.strip())
        mnt = os.path.join(self.dir, "mnt")
        os.mkdir(mnt)
        try:
            if subprocess.run(["ntfs-3g", loop, mnt], capture_output=True).returncode != 0:
                self.skipTest("cannot mount with ntfs-3g")
            try:
                r = quenlar("recover", loop, "--dest", os.path.join(mnt, "out", "deeper"), "--all", cwd=self.dir,
                            check=False)
                self.assertEqual(r.returncode, 1)
                self.assertIn("is on the drive being recovered from", r.stderr)
                self.assertFalse(os.path.exists(os.path.join(mnt, "out")))
            finally:
                subprocess.run(["umount", mnt], check=False)
        finally:
            subprocess.run(["losetup", "-d", loop], check=False)

    def test_refusals(self):
        image = os.path.join(ARGS.images, "ntfs.img")
        r = quenlar("recover", image, "--dest", "", "--all", cwd=self.dir, check=False)
        self.assertEqual(r.returncode, 2)
        r = quenlar("recover", image, "--dest", os.path.join(self.dir, "o"), cwd=self.dir, check=False)
        self.assertEqual(r.returncode, 2)
        self.assertIn("nothing selected", r.stderr)


class Browse(Workdir):
    """tree, ls and filter against the manifest of what was written."""

    def test_tree_counts_files_at_or_below_each_folder(self):
        image = os.path.join(ARGS.images, "ntfs.img")
        tree = {row["folder"]: row["count"] for row in results(quenlar("tree", "--json", image, cwd=self.dir).stdout)}
        expected = {}
        for path, (kind, size, state) in manifest("ntfs").items():
            if kind != "f":
                continue
            parts = path.split("/")[:-1]
            for depth in range(1, len(parts) + 1):
                folder = "\\".join(parts[:depth])
                expected[folder] = expected.get(folder, 0) + 1
        self.assertEqual(tree, expected)

    def test_folder_listing(self):
        image = os.path.join(ARGS.images, "ntfs.img")
        written = manifest("ntfs")
        for folder in ["", "Trash", "Pictures/Ünïcødé фото", "DeletedFolder/Sub"]:
            rows = results(quenlar("ls", "--json", image, folder, cwd=self.dir).stdout)
            listed = {row[0]: row for row in rows}
            prefix = folder + "/" if folder else ""
            expected = {p[len(prefix):] for p, row in written.items()
                        if row[0] == "f" and p.startswith(prefix) and "/" not in p[len(prefix):]}
            self.assertEqual(set(listed), expected, folder)
            for name, row in listed.items():
                self.assertEqual(int(row[4]), written[prefix + name][1])
                self.assertEqual(row[6], 10 if written[prefix + name][2] == "existing" else 20)

    def test_filters(self):
        image = os.path.join(ARGS.images, "ntfs.img")
        names = lambda *flags: sorted(row[0] for row in results(
            quenlar("filter", "--json", image, *flags, cwd=self.dir).stdout))
        self.assertEqual(names("--pictures"), ["gone.jpg", "holiday.jpg", "inner1.jpg", "sunset.png"])
        # Documents: the catalogue's kinds, and text files as people count them.
        documents = names("--documents")
        self.assertEqual([n for n in documents if not n.endswith(".txt")], ["inner3.pdf", "old.docx", "report.pdf"])
        self.assertIn("notes.txt", documents)
        self.assertEqual(names("--pictures", "--documents", "--min-size", "30000", "--max-size", "60000"),
                         ["gone.jpg", "old.docx", "report.pdf", "sunset.png"])
        # Files only: a filter never lists folders.
        everything = names()
        self.assertEqual(names("--hours", "1000000"), everything)
        self.assertEqual(len(everything), len([p for p, row in manifest("ntfs").items() if row[0] == "f"]))

    def test_saved_scan(self):
        image = os.path.join(ARGS.images, "ntfs-reformatted.img")
        quenlar("scan", "--deep", "--stop-at-sector", "1000", image, cwd=self.dir)
        tree = {row["folder"]: row["count"] for row in results(quenlar("tree", "--saved", "--json", cwd=self.dir).stdout)}
        self.assertIn("New", tree)
        rows = results(quenlar("ls", "--saved", "--json", "New", cwd=self.dir).stdout)
        self.assertIn("fresh.txt", [row[0] for row in rows])
        out = os.path.join(self.dir, "out")
        r = quenlar("recover", "--saved", "--dest", out, "--folder", "New", cwd=self.dir)
        self.assertIn("1 of 1 files written whole", r.stdout)
        r = quenlar("tree", "--saved", image, cwd=self.dir, check=False)
        self.assertEqual(r.returncode, 2)


class Formats(Workdir):
    def test_bodyfile_feeds_mactime(self):
        image = os.path.join(ARGS.images, "ntfs.img")
        body = quenlar("scan", "--bodyfile", image, cwd=self.dir).stdout
        lines = body.splitlines()
        self.assertTrue(all(len(line.split("|")) == 11 for line in lines))
        self.assertIn("/Trash/gone.jpg (deleted)", body)
        path = os.path.join(self.dir, "body")
        with open(path, "w", encoding="utf-8") as f:
            f.write(body)
        if shutil.which("mactime"):
            timeline = subprocess.run(["mactime", "-b", path, "-d"], capture_output=True, text=True, check=True)
            self.assertIn("/Documents/report.pdf", timeline.stdout)

    def test_table(self):
        table = quenlar("scan", os.path.join(ARGS.images, "ntfs.img"), cwd=self.dir).stdout
        self.assertRegex(table, r"deleted file\s+60000 .* Trash/gone.jpg")

    def test_errors(self):
        r = quenlar("scan", os.path.join(self.dir, "missing.img"), cwd=self.dir, check=False)
        self.assertEqual(r.returncode, 1)
        self.assertEqual(len(r.stderr.strip().splitlines()), 1)
        r = quenlar("scan", "--json", "--bodyfile", os.path.join(ARGS.images, "ntfs.img"), cwd=self.dir, check=False)
        self.assertEqual(r.returncode, 2)



if __name__ == "__main__":
    imagetest.run_tests(globals())
