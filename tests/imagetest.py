"""What the command-line tests share: where the program, the unpacked test
images and their manifests are."""
import argparse
import os


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
