"""What the command-line tests share: where the program, the unpacked test
images and their manifests are."""
import argparse
import hashlib
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

# The options of the test being run; set by run_tests.
ARGS = None


def parse_args():
    """The test's options, and the arguments left for unittest."""
    parser = argparse.ArgumentParser()
    parser.add_argument("--quenlar", required=True)
    parser.add_argument("--images", required=True)
    parser.add_argument("--manifests", required=True)
    parser.add_argument("--faultfs", default="")
    args, rest = parser.parse_known_args()
    args.quenlar = os.path.abspath(args.quenlar)
    args.images = os.path.abspath(args.images)
    args.manifests = os.path.abspath(args.manifests)
    return args, rest


def run_tests(module_globals):
    """Parses the options into the test module's ARGS and runs its tests."""
    global ARGS
    args, rest = parse_args()
    ARGS = args
    module_globals["ARGS"] = args
    unittest.main(argv=[sys.argv[0], *rest], verbosity=2)


def quenlar(*args, cwd, check=True):
    r = subprocess.run([ARGS.quenlar, *args], capture_output=True, text=True, cwd=cwd, timeout=300)
    # The test images' files are headers and made-up bytes: a recovery may
    # call a deleted one doubtful (its content does not check out as its
    # kind), which exit code 3 tells. The tests compare the bytes themselves.
    if check and r.returncode == 3 and args and args[0] == "recover":
        return r
    if check and r.returncode != 0:
        raise AssertionError(f"quenlar {' '.join(args)} exited {r.returncode}: {r.stderr}")
    return r


def results(stdout):
    return [json.loads(line) for line in stdout.splitlines() if line.strip()]


def our_path(row):
    return row["path"].replace("\\", "/") + row["name"]


def fls(image, *flags):
    """{path: (inode, is_dir, deleted)} from fls."""
    out = subprocess.run(["fls", "-r", "-p", *flags, image], capture_output=True, text=True, check=True).stdout
    entries = {}
    for line in out.splitlines():
        m = re.match(r"^(\S)/(\S)\s+(\*\s+)?(\d+)(?:-\d+-\d+)?:\t(.*)$", line)
        if not m:
            raise AssertionError("unexpected fls line: " + line)
        kind, _, deleted, inode, path = m.groups()
        entries[path] = (int(inode), kind == "d" or m.group(2) == "d", bool(deleted))
    return entries


def manifest(name):
    """{path: (type, size, state)} of an image's manifest."""
    rows = {}
    with open(os.path.join(ARGS.manifests, name + ".manifest.tsv"), encoding="utf-8") as f:
        next(f)
        for line in f:
            path, kind, size, digest, state = line.rstrip("\n").split("\t")
            rows[path] = (kind, int(size), state)
    return rows


def manifest_digests(name):
    with open(os.path.join(ARGS.manifests, name + ".manifest.tsv"), encoding="utf-8") as f:
        next(f)
        return {line.split("\t")[0]: line.split("\t")[3] for line in f}


def sha256(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


class Workdir(unittest.TestCase):
    """A test with a scratch folder of its own, the current folder of the
    program it runs (where the store and the log go)."""

    def setUp(self):
        self.dir = tempfile.mkdtemp()

    def tearDown(self):
        shutil.rmtree(self.dir)
