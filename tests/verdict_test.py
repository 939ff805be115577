#!/usr/bin/env python3
"""How sure Quenlar says it is, against what the files give back.

The "overwritten" images were made by the real tools: a volume filled, every
other file deleted, new files written over the freed clusters and some of
those deleted too (and an NTFS volume quick-formatted and written again).
Their manifests mark each deleted file whose own clusters, as The Sleuth Kit
reads them, no longer hold what was written. The verdict must tell those
apart; and, since a verdict speaks of the bytes a recovery gives back, it
must also agree with what `recover` writes. Then the recovery's report and
receipt, and `verify`.
"""
import csv
import json
import os

import imagetest
from imagetest import Workdir, quenlar, results, our_path, sha256

ARGS = None
IMAGES = ["ntfs-overwritten", "fat32-overwritten", "exfat-overwritten", "ntfs-reformat-overwritten"]
DOUBTFUL = ("partial", "overwritten")
CHECKED_KINDS = (".jpg", ".png", ".pdf", ".zip")


def manifest_rows(name):
    with open(os.path.join(ARGS.manifests, name + ".manifest.tsv"), encoding="utf-8") as f:
        next(f)
        rows = {}
        for line in f:
            path, kind, size, digest, state = line.rstrip("\n").split("\t")
            rows[path] = (kind, int(size), digest, state)
        return rows


class Verdicts(Workdir):
    def recovered(self, name):
        """Every file of a deep scan with its content checked, recovered:
        {path: (verdict, evidence, sha256 written)} from the receipt."""
        image = os.path.join(ARGS.images, name + ".img")
        dest = os.path.join(self.dir, name)
        r = quenlar("recover", image, "--deep", "--check", "--all", "--dest", dest, "--discard-saved",
                    cwd=self.dir, check=False)
        self.assertIn(r.returncode, (1, 3), r.stderr)  # some are doubtful or partial
        with open(os.path.join(dest, "quenlar-receipt.json"), encoding="utf-8") as f:
            receipt = json.load(f)
        files = {}
        for entry in receipt["files"]:
            files.setdefault(entry["original"], entry)
        return files

    def test_the_verdict_tells_overwritten_files_from_intact_ones(self):
        tsk_overwritten = tsk_caught = 0
        ours_changed = ours_caught = ours_same = ours_flagged = 0
        broken_intact = []
        for name in IMAGES:
            manifest = manifest_rows(name)
            for path, entry in self.recovered(name).items():
                row = manifest.get(path)
                if row is None or row[0] != "f" or row[1] == 0:
                    continue
                verdict = entry["verdict"]
                if row[3] == "overwritten":
                    tsk_overwritten += 1
                    tsk_caught += verdict in DOUBTFUL
                if entry["outcome"] == "failed":
                    continue
                if entry["sha256"] != row[2]:
                    ours_changed += 1
                    ours_caught += verdict in DOUBTFUL
                    if verdict == "intact" and os.path.splitext(path)[1] in CHECKED_KINDS:
                        broken_intact.append((name, path))
                else:
                    ours_same += 1
                    ours_flagged += verdict in DOUBTFUL
        print(f"\nTSK overwritten {tsk_caught}/{tsk_overwritten}; bytes changed {ours_caught}/{ours_changed}; "
              f"bytes whole but doubtful {ours_flagged}/{ours_same}")
        self.assertGreater(tsk_overwritten, 50)
        self.assertGreaterEqual(tsk_caught, 0.95 * tsk_overwritten)
        self.assertGreater(ours_changed, 50)
        self.assertGreaterEqual(ours_caught, 0.95 * ours_changed)
        self.assertLessEqual(ours_flagged, 0.02 * ours_same)
        self.assertEqual(broken_intact, [])

    def test_filter_by_verdict(self):
        image = os.path.join(ARGS.images, "ntfs-reformat-overwritten.img")
        rows = [json.loads(line) for line in quenlar("filter", image, "--deep", "--discard-saved", "--verdict",
                                                     "partial,overwritten", "--json", cwd=self.dir).stdout.splitlines()]
        self.assertGreater(len(rows), 20)
        self.assertTrue(all(row[9] in DOUBTFUL and row[10] for row in rows))
        r = quenlar("filter", image, "--verdict", "whole", cwd=self.dir, check=False)
        self.assertEqual(r.returncode, 2)
        self.assertIn("no verdict", r.stderr)
        # The scan's JSON: the verdict and the evidence beside it.
        scanned = results(quenlar("scan", image, "--deep", "--discard-saved", "--json", cwd=self.dir).stdout)
        files = [f for f in scanned if f["dir"] == 0]
        self.assertTrue({f["verdict"] for f in files} <= {"intact", "likely", "partial", "overwritten", "unknown"})
        taken = [f for f in files if f["evidence"]["taken"] > 0]
        self.assertTrue(taken and all(f["verdict"] in DOUBTFUL for f in taken))
        self.assertTrue(all("clusters" in f["evidence"] and f["evidence"]["reason"] for f in files))


class ReportAndReceipt(Workdir):
    def test_a_mixed_recovery_tells_whole_from_doubtful_and_verify_finds_changes(self):
        image = os.path.join(ARGS.images, "ntfs-reformat-overwritten.img")
        scanned = results(quenlar("scan", image, "--deep", "--check", "--discard-saved", "--json",
                                  cwd=self.dir).stdout)
        manifest = manifest_rows("ntfs-reformat-overwritten")
        whole = next(f for f in scanned if f["verdict"] == "intact" and manifest[our_path(f)][3] == "formatted")
        gone = next(f for f in scanned if f["verdict"] == "overwritten")
        dest = os.path.join(self.dir, "out")
        r = quenlar("recover", image, "--deep", "--check", "--discard-saved", "--dest", dest,
                    "--index", str(whole["index"]), "--index", str(gone["index"]), cwd=self.dir, check=False)
        self.assertEqual(r.returncode, 3, r.stderr)
        self.assertIn("1 of 2 files written whole, 1 doubtful, 0 partial, 0 failed", r.stdout)
        self.assertIn("doubtful: " + our_path(gone), r.stderr)
        self.assertIn("probably not the original", r.stderr)

        with open(os.path.join(dest, "quenlar-receipt.json"), encoding="utf-8") as f:
            receipt = json.load(f)
        self.assertTrue(receipt["program"].startswith("quenlar "))
        self.assertEqual(receipt["volume"]["fileSystem"], "NTFS")
        self.assertEqual(receipt["summary"], {"whole": 1, "doubtful": 1, "partial": 0, "failed": 0, "stopped": False})
        by_name = {e["original"]: e for e in receipt["files"]}
        good, bad = by_name[our_path(whole)], by_name[our_path(gone)]
        self.assertEqual((good["outcome"], good["verdict"], good["timeRestored"]), ("whole", "intact", True))
        self.assertEqual((bad["outcome"], bad["verdict"], bad["timeRestored"]), ("doubtful", "overwritten", False))
        self.assertIn("probably not the original", bad["reasons"])
        for entry in (good, bad):
            written = os.path.join(dest, entry["recovered"])
            self.assertEqual(sha256(written), entry["sha256"])
            self.assertEqual(entry["written"], os.path.getsize(written))
            self.assertTrue(entry["extents"])
        self.assertEqual(good["sha256"], manifest[our_path(whole)][2])
        with open(os.path.join(dest, "quenlar-receipt.csv"), encoding="utf-8", newline="") as f:
            rows = list(csv.DictReader(f))
        self.assertEqual({r["original"]: r["sha256"] for r in rows}, {e["original"]: e["sha256"] for e in receipt["files"]})

        self.assertEqual(quenlar("verify", dest, cwd=self.dir).returncode, 0)
        with open(os.path.join(dest, good["recovered"]), "r+b") as f:
            f.seek(10)
            f.write(b"X")
        os.remove(os.path.join(dest, bad["recovered"]))
        r = quenlar("verify", dest, cwd=self.dir, check=False)
        self.assertEqual(r.returncode, 1)
        self.assertIn("changed: " + good["recovered"], r.stdout)
        self.assertIn("missing: " + bad["recovered"], r.stdout)

        # A second recovery into the same folder keeps the first receipt.
        quenlar("recover", image, "--deep", "--discard-saved", "--dest", dest, "--index", str(whole["index"]),
                cwd=self.dir)
        self.assertTrue(os.path.exists(os.path.join(dest, "quenlar-receipt_1.json")))

    def test_verify_keeps_to_the_folder(self):
        dest = os.path.join(self.dir, "out")
        os.makedirs(dest)
        outside = os.path.join(self.dir, "secret")
        with open(outside, "w") as f:
            f.write("x")
        with open(os.path.join(dest, "quenlar-receipt.json"), "w") as f:
            json.dump({"files": [{"recovered": "../secret", "sha256": "0" * 64},
                                 {"recovered": outside, "sha256": "0" * 64}]}, f)
        r = quenlar("verify", dest, cwd=self.dir, check=False)
        self.assertEqual(r.returncode, 1)
        self.assertEqual(r.stdout.count("outside the folder"), 2)
        with open(os.path.join(dest, "quenlar-receipt.json"), "w") as f:
            f.write('{"files": [')
        r = quenlar("verify", dest, cwd=self.dir, check=False)
        self.assertEqual(r.returncode, 1)
        self.assertIn("cannot be read", r.stderr)


if __name__ == "__main__":
    imagetest.run_tests(globals())
