#!/usr/bin/env python3
"""Sets the time stamp of a PE image that the linker left at zero.

  stamp_image.py IMAGE (--epoch SECONDS | --image-hash)

The file header's TimeDateStamp is the one field of the image that a linker
fills with the time of the link. The product is linked with
--no-insert-timestamp (the field is zero) and this step writes it:

  --epoch SECONDS  the given time, the build's SOURCE_DATE_EPOCH;
  --image-hash     the first four bytes (little-endian) of the SHA-256 of the
                   image with its time stamp and checksum fields counted as
                   zero: a value that the image's content fixes, as other
                   linkers' reproducible mode does; it changes whenever a byte
                   of the image does.

The image checksum, when the image has one, is computed again. Run it after
every other step that changes the image (align_resources.py) and before
signing. Exit status 0 on success, 1 with a message.
"""
import argparse
import hashlib
import os
import struct
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import align_resources  # noqa: E402


def image_hash(data, layout):
    """The time stamp --image-hash gives."""
    zeroed = bytearray(data)
    for offset in (layout["timestamp_offset"], layout["checksum_offset"]):
        struct.pack_into("<I", zeroed, offset, 0)
    return struct.unpack_from("<I", hashlib.sha256(zeroed).digest())[0]


def stamp(data, epoch=None):
    """The image with its time stamp set to epoch, or to its hash when epoch
    is None, and its checksum computed again (when it has one)."""
    layout = align_resources.parse(data)
    if epoch is not None and not 0 <= epoch <= 0xFFFFFFFF:
        raise align_resources.LayoutError(f"the time {epoch} does not fit the 32-bit time stamp")
    value = image_hash(data, layout) if epoch is None else epoch
    out = bytearray(data)
    struct.pack_into("<I", out, layout["timestamp_offset"], value)
    offset = layout["checksum_offset"]
    if struct.unpack_from("<I", data, offset)[0]:
        struct.pack_into("<I", out, offset, align_resources.checksum(out, offset))
    return bytes(out)


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("image")
    how = parser.add_mutually_exclusive_group(required=True)
    how.add_argument("--epoch", type=int)
    how.add_argument("--image-hash", action="store_true")
    args = parser.parse_args(argv)
    try:
        with open(args.image, "rb") as f:
            data = f.read()
        align_resources.replace_image(args.image, stamp(data, args.epoch))
    except (OSError, align_resources.LayoutError, struct.error) as error:
        print(f"stamp_image.py: {args.image}: {error}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
