#!/usr/bin/env python3
"""Writes a benchmark payload: the ten files the bootstrapper embeds, with the
sizes of the real kit's catalogue (or a fraction of them), random content and
the signature of each file's format at its start.

  make_payload.py OUT_DIR [--divisor N] [--seed S]

Every size is the catalogue size divided by N (integer division, N=1 by
default). The content is reproducible for one seed. An existing file of the
right size and head is left alone, so repeated runs do not rewrite ~73 MB.
"""
import argparse
import os
import random
import sys

MSI_SIGNATURE = bytes.fromhex("d0cf11e0a1b11ae1")
CAB_SIGNATURE = b"MSCF"

# (file name, size in bytes): the main package, the seven kit cabinets in the
# order the bootstrapper writes them, the updater package and cabinet.
CATALOGUE = [
    ("qmb1.6.0_39.msi", 532_992),
    ("ss160390.cab", 17_643_908),
    ("st160390.cab", 29_875_680),
    ("sj160390.cab", 13_467_558),
    ("sp160390.cab", 29_231),
    ("sz160390.cab", 1_638),
    ("sb160390.cab", 10_553_851),
    ("sr160390.cab", 107_093),
    ("au.msi", 207_872),
    ("au.cab", 579_276),
]


def signature(name):
    return MSI_SIGNATURE if name.endswith(".msi") else CAB_SIGNATURE


def content(name, size, seed):
    head = signature(name)
    if size < len(head):
        raise ValueError(f"{name}: {size} bytes cannot hold its {len(head)}-byte signature")
    rng = random.Random(f"{seed}:{name}:{size}")
    return head + rng.randbytes(size - len(head))


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("out_dir")
    parser.add_argument("--divisor", type=int, default=1)
    parser.add_argument("--seed", default="qmb-bench")
    args = parser.parse_args(argv)
    if args.divisor < 1:
        parser.error("--divisor must be at least 1")
    os.makedirs(args.out_dir, exist_ok=True)
    total = 0
    for name, full_size in CATALOGUE:
        size = full_size // args.divisor
        data = content(name, size, args.seed)
        path = os.path.join(args.out_dir, name)
        try:
            with open(path, "rb") as existing:
                unchanged = existing.read() == data
        except OSError:
            unchanged = False
        if not unchanged:
            tmp = path + ".tmp"
            with open(tmp, "wb") as out:
                out.write(data)
            os.replace(tmp, path)
        total += size
    print(f"{args.out_dir}: {len(CATALOGUE)} files, {total} bytes")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
