#!/usr/bin/env python3
"""Tests of cmake/align_resources.py, the post-link step that moves the
resource section to a page boundary of the file, and of cmake/stamp_image.py,
which sets the image's time stamp, on small images made here, and of the
built product (its resource section must start on a page boundary, its
checksum must hold, and its time stamp be the build's SOURCE_DATE_EPOCH or
else the image's hash), when --exe names it.

  align_resources_test.py [--exe qmb-setup.exe [--source-date-file FILE]]
"""

import argparse
import os
import struct
import sys
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "cmake"))
import align_resources  # noqa: E402
import stamp_image  # noqa: E402

FILE_ALIGNMENT = 512
SECTION_ALIGNMENT = 4096
PE_OFFSET = 0x80
OPTIONAL_SIZE = 224  # PE32 with 16 data directories


def make_image(sections, resource_index=1, checksum=True, security=0, debug=0, symbols=0):
    """A minimal PE32 image: sections is a list of (name, raw bytes); each is
    placed at the next file-alignment boundary and the next page in memory.
    The resource directory points into sections[resource_index]."""
    headers = PE_OFFSET + 24 + OPTIONAL_SIZE + 40 * len(sections)
    headers = -(-headers // FILE_ALIGNMENT) * FILE_ALIGNMENT
    data = bytearray(headers)
    data[:2] = b"MZ"
    struct.pack_into("<I", data, 0x3C, PE_OFFSET)
    data[PE_OFFSET:PE_OFFSET + 4] = b"PE\0\0"
    struct.pack_into("<HHIIIHH", data, PE_OFFSET + 4, 0x14C, len(sections), 0, symbols, 1 if symbols else 0,
                     OPTIONAL_SIZE, 0x102)
    optional = PE_OFFSET + 24
    struct.pack_into("<H", data, optional, 0x10B)
    struct.pack_into("<II", data, optional + 32, SECTION_ALIGNMENT, FILE_ALIGNMENT)
    struct.pack_into("<I", data, optional + 60, headers)
    struct.pack_into("<I", data, optional + 92, 16)
    table = optional + OPTIONAL_SIZE
    rva = SECTION_ALIGNMENT
    for i, (name, raw) in enumerate(sections):
        pointer = len(data)
        size = -(-len(raw) // FILE_ALIGNMENT) * FILE_ALIGNMENT
        data += raw + bytes(size - len(raw))
        entry = table + 40 * i
        data[entry:entry + 8] = name.encode().ljust(8, b"\0")
        struct.pack_into("<IIII", data, entry + 8, len(raw), rva, size, pointer)
        if i == resource_index:
            struct.pack_into("<II", data, optional + 96 + 8 * 2, rva, len(raw))
        rva += -(-len(raw) // SECTION_ALIGNMENT) * SECTION_ALIGNMENT
    struct.pack_into("<I", data, optional + 56, rva)  # SizeOfImage
    if security:
        struct.pack_into("<II", data, optional + 96 + 8 * 4, len(data), security)
    if debug:
        struct.pack_into("<II", data, optional + 96 + 8 * 6, SECTION_ALIGNMENT, debug)
    if checksum:
        struct.pack_into("<I", data, optional + 64, align_resources.checksum(data, optional + 64))
    return bytes(data)


def section_bytes(data):
    """{name: raw bytes} of an image's sections."""
    layout = align_resources.parse(data)
    return {s["name"]: data[s["raw_pointer"]:s["raw_pointer"] + s["raw_size"]] for s in layout["sections"]}


def masked(data):
    """The image with its checksum and raw-data pointers zeroed: what the
    alignment must leave unchanged before the resource section."""
    layout = align_resources.parse(data)
    out = bytearray(data)
    struct.pack_into("<I", out, layout["checksum_offset"], 0)
    for s in layout["sections"]:
        struct.pack_into("<I", out, s["entry"] + 20, 0)
    return bytes(out)


def pattern(n, seed):
    return bytes((i * 7 + seed) % 251 for i in range(n))


class AlignTest(unittest.TestCase):
    def test_moves_the_resource_section_and_what_follows_it(self):
        # (case, raw sizes of .text, .rsrc and .reloc)
        rows = [
            ("one sector of code", (100, 3000, 300)),
            ("code ending one sector before a page", (4096 - 1024 - 512, 5000, 10)),
            ("code of several pages", (3 * 4096 + 700, 70000, 1536)),
        ]
        for case, (text, rsrc, reloc) in rows:
            with self.subTest(case):
                image = make_image([(".text", pattern(text, 1)), (".rsrc", pattern(rsrc, 2)),
                                    (".reloc", pattern(reloc, 3))])
                before = section_bytes(image)
                aligned = align_resources.align(image)
                self.assertIsNotNone(aligned, case)
                layout = align_resources.parse(aligned)
                pointers = {s["name"]: s["raw_pointer"] for s in layout["sections"]}
                self.assertEqual(pointers[".rsrc"] % 4096, 0, case)
                self.assertEqual(section_bytes(aligned), before, f"{case}: section contents changed")
                old_start = align_resources.parse(image)["sections"][1]["raw_pointer"]
                self.assertEqual(masked(aligned)[:old_start], masked(image)[:old_start],
                                 f"{case}: headers or code changed")
                self.assertEqual(aligned[old_start:pointers[".rsrc"]], bytes(pointers[".rsrc"] - old_start),
                                 f"{case}: the padding is not zeros")
                self.assertEqual(len(aligned) - len(image), pointers[".rsrc"] - old_start,
                                 f"{case}: only the padding was added")
                offset = layout["checksum_offset"]
                self.assertEqual(struct.unpack_from("<I", aligned, offset)[0],
                                 align_resources.checksum(aligned, offset), f"{case}: checksum")
                self.assertIsNone(align_resources.align(aligned), f"{case}: a second run changes nothing")

    def test_aligned_image_is_left_alone(self):
        # Headers of 512 bytes plus 3584 bytes of code end on a page boundary.
        image = make_image([(".text", pattern(3584, 1)), (".rsrc", pattern(900, 2))])
        self.assertEqual(align_resources.parse(image)["sections"][1]["raw_pointer"], 4096)
        self.assertIsNone(align_resources.align(image))

    def test_image_without_checksum_keeps_none(self):
        image = make_image([(".text", pattern(100, 1)), (".rsrc", pattern(900, 2))], checksum=False)
        aligned = align_resources.align(image)
        self.assertEqual(struct.unpack_from("<I", aligned, align_resources.parse(aligned)["checksum_offset"])[0], 0)

    def test_refusals(self):
        sections = [(".text", pattern(100, 1)), (".rsrc", pattern(900, 2))]
        rows = [
            ("signed image", make_image(sections, security=64), "signed"),
            ("debug directory", make_image(sections, debug=28), "debug directory"),
            ("symbol table", make_image(sections, symbols=0x200), "symbol table"),
            ("no resource directory", make_image(sections, resource_index=5), "no resource directory"),
            ("wrong checksum", make_image(sections)[:0xD8] + b"\1\2\3\4" + make_image(sections)[0xDC:],
             "checksum"),
            ("not an image", b"MZ" + bytes(100), "no PE signature"),
        ]
        for case, image, text in rows:
            with self.subTest(case):
                with self.assertRaises(align_resources.LayoutError, msg=case) as caught:
                    align_resources.align(image)
                self.assertIn(text, str(caught.exception), case)

    def test_checksum_known_value(self):
        data = bytearray(struct.pack("<8H", 0xFFFF, 0xFFFF, 2, 0, 0, 0, 0, 0))
        # 0xFFFF + 0xFFFF = 0x1FFFE -> 0xFFFF; + 2 -> 0x10001 -> 2; + length 16.
        self.assertEqual(align_resources.checksum(data, 8), 2 + 16)


class StampTest(unittest.TestCase):
    def test_time_stamp(self):
        image = make_image([(".text", pattern(100, 1)), (".rsrc", pattern(900, 2))])
        other_time = bytearray(image)
        struct.pack_into("<I", other_time, PE_OFFSET + 8, 0x12345678)
        other_content = bytearray(image)
        other_content[-1] ^= 1
        hashed = stamp_image.stamp(image)
        rows = [
            # case, image, epoch, time stamp expected (None: the image's hash)
            ("SOURCE_DATE_EPOCH", image, 1700000000, 1700000000),
            ("the largest time", image, 0xFFFFFFFF, 0xFFFFFFFF),
            ("the image's hash", image, None, None),
            ("no checksum to keep", make_image([(".rsrc", pattern(300, 2))], 0, checksum=False), None, None),
        ]
        for case, data, epoch, expected in rows:
            with self.subTest(case):
                out = stamp_image.stamp(data, epoch)
                layout = align_resources.parse(out)
                if expected is None:
                    expected = stamp_image.image_hash(data, layout)
                self.assertEqual(struct.unpack_from("<I", out, layout["timestamp_offset"])[0], expected, case)
                kept = struct.unpack_from("<I", data, layout["checksum_offset"])[0]
                got = struct.unpack_from("<I", out, layout["checksum_offset"])[0]
                self.assertEqual(got, align_resources.checksum(out, layout["checksum_offset"]) if kept else 0, case)
                self.assertEqual(len(out), len(data), case)
        # The hash does not depend on the time stamp there was, and does on
        # every other byte.
        self.assertEqual(stamp_image.stamp(bytes(other_time)), hashed)
        self.assertNotEqual(stamp_image.stamp(bytes(other_content))[PE_OFFSET + 8:PE_OFFSET + 12],
                            hashed[PE_OFFSET + 8:PE_OFFSET + 12])
        with self.assertRaises(align_resources.LayoutError):
            stamp_image.stamp(image, 1 << 32)


class ProductTest(unittest.TestCase):
    exe = None
    source_date_file = None

    def test_product_resource_section_on_a_page(self):
        if not self.exe:
            self.skipTest("no --exe given")
        with open(self.exe, "rb") as f:
            data = f.read()
        layout = align_resources.parse(data)
        rsrc = align_resources.resource_section(layout)
        self.assertEqual(rsrc["raw_pointer"] % 4096, 0,
                         f"{self.exe}: the resource section starts at {rsrc['raw_pointer']:#x}, not on a page")
        offset = layout["checksum_offset"]
        self.assertEqual(struct.unpack_from("<I", data, offset)[0], align_resources.checksum(data, offset),
                         f"{self.exe}: the image checksum does not hold")

    def test_product_time_stamp(self):
        if not self.exe or not self.source_date_file:
            self.skipTest("no --exe and --source-date-file given")
        with open(self.exe, "rb") as f:
            data = f.read()
        with open(self.source_date_file) as f:
            epoch = f.read().strip()
        self.assertEqual(stamp_image.stamp(data, int(epoch) if epoch else None), data,
                         f"{self.exe}: the time stamp is not the one the build's time ({epoch or 'none'}) gives")


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--exe")
    parser.add_argument("--source-date-file")
    args, rest = parser.parse_known_args()
    ProductTest.exe = args.exe
    ProductTest.source_date_file = args.source_date_file
    unittest.main(argv=[sys.argv[0]] + rest)
