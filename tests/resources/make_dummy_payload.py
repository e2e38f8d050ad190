#!/usr/bin/env python3
"""Writes a payload folder of stand-in files: the ten names, each beginning
with the signature of its format and followed by bytes that differ from file
to file, so that an item embedded under the wrong number is caught.

  make_dummy_payload.py FOLDER

The packages are not usable by an installer; they serve builds and tests that
look only at what is embedded.
"""

import os
import random
import sys

MSI_SIGNATURE = bytes.fromhex("d0cf11e0a1b11ae1")
CAB_SIGNATURE = b"MSCF"

# Odd and even lengths, one item shorter than 16 bytes and one above 64 KiB.
SIZES = {
    "qmb1.6.0_39.msi": 5120, "ss160390.cab": 70001, "st160390.cab": 3001,
    "sj160390.cab": 2048, "sp160390.cab": 1237, "sz160390.cab": 1638,
    "sb160390.cab": 4099, "sr160390.cab": 9, "au.cab": 579, "au.msi": 2560,
}


def write_dummy_payload(folder):
    os.makedirs(folder, exist_ok=True)
    for n, (name, size) in enumerate(sorted(SIZES.items())):
        signature = MSI_SIGNATURE if name.endswith(".msi") else CAB_SIGNATURE
        rest = random.Random(n).randbytes(size - len(signature))
        with open(os.path.join(folder, name), "wb") as f:
            f.write(signature + rest)


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit("usage: make_dummy_payload.py FOLDER")
    write_dummy_payload(sys.argv[1])
