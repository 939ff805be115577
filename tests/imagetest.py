"""What the command-line tests share: where the program, the unpacked test
images and their manifests are."""
import argparse
import os
import sys
import unittest


def parse_args():
    """The test's options, and the arguments left for unittest."""
    parser = argparse.ArgumentParser()
    parser.add_argument("--quenlar", required=True)
    parser.add_argument("--images", required=True)
    parser.add_argument("--manifests", required=True)
    args, rest = parser.parse_known_args()
    args.quenlar = os.path.abspath(args.quenlar)
    args.images = os.path.abspath(args.images)
    args.manifests = os.path.abspath(args.manifests)
    return args, rest


def run_tests(module_globals):
    """Parses the options into the test module's ARGS and runs its tests."""
    args, rest = parse_args()
    module_globals["ARGS"] = args
    unittest.main(argv=[sys.argv[0], *rest], verbosity=2)
