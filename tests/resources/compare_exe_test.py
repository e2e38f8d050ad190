#!/usr/bin/env python3
"""Tests of scripts/compare_exe.py on images and build folders made here: that
a difference is found and placed (header field, section table, section,
appended data), that two builds are told apart file by file, and that a
signed image is accepted as its unsigned image plus a signature only when
it is exactly that."""

import io
import os
import struct
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "..", "scripts"))
import align_resources_test  # noqa: E402
import compare_exe  # noqa: E402
from align_resources_test import PE_OFFSET, make_image, pattern  # noqa: E402

OPTIONAL = PE_OFFSET + 24
DIRECTORIES = OPTIONAL + 96
SECTION_TABLE = OPTIONAL + align_resources_test.OPTIONAL_SIZE


def image():
    return make_image([(".text", pattern(700, 1)), (".rsrc", pattern(3000, 2)), (".reloc", pattern(100, 3))])


def changed(data, offset, value=0xA5):
    out = bytearray(data)
    out[offset] ^= value
    return bytes(out)


def section(data, name):
    return next(s for s in compare_exe.align_resources.parse(data)["sections"] if s["name"] == name)


def sign(data, cert_size=64, pad=True, kind=2, extra=b""):
    """data with a certificate table appended as osslsigncode does: zero
    padding to 8 bytes, the table, its entry in the data directories and the
    checksum made anew."""
    out = bytearray(data)
    if pad:
        out += bytes(-len(out) % 8)
    start = len(out)
    out += struct.pack("<IHH", cert_size, 0x0200, kind) + pattern(cert_size - 8, 9)
    struct.pack_into("<II", out, DIRECTORIES + 8 * 4, start, cert_size)
    out += extra
    struct.pack_into("<I", out, OPTIONAL + 64, compare_exe.align_resources.checksum(out, OPTIONAL + 64))
    return bytes(out)


class LocateTest(unittest.TestCase):
    def test_difference_named_with_offset_and_place(self):
        base = image()
        rsrc = section(base, ".rsrc")["raw_pointer"]
        aligned = compare_exe.align_resources.align(base)
        rows = [
            # case, other image, text expected in the description
            ("DOS stub", changed(base, 0x40), "offset 64 (0x40), DOS header and stub; 1 bytes differ"),
            ("time stamp only", changed(base, PE_OFFSET + 8),
             "file header, TimeDateStamp; nothing differs beyond the time stamp and checksum"),
            ("time stamp and resource data",
             changed(changed(base, PE_OFFSET + 8), rsrc + 0x123),
             "beyond the time stamp and checksum at offset %d (%#x), section .rsrc, +0x123 (RVA 0x2123)"
             % (rsrc + 0x123, rsrc + 0x123)),
            ("checksum", changed(base, OPTIONAL + 65), "optional header, CheckSum"),
            ("a data directory", changed(base, DIRECTORIES + 8 * 2 + 4), "data directory 2 (resource)"),
            ("section table", changed(base, SECTION_TABLE + 40 + 3), "section table, entry of .rsrc"),
            ("code", changed(base, section(base, ".text")["raw_pointer"] + 5), "section .text, +0x5 (RVA 0x1005)"),
            ("the padding that aligns the resource section", changed(aligned, 0x1000 - 4),
             "padding before section .rsrc"),
            ("appended data", base + b"tail", "after the last section (certificate table or appended data); "
             "sizes %d and %d bytes" % (len(base), len(base) + 4)),
        ]
        for case, other, expected in rows:
            with self.subTest(case):
                original = aligned if len(other) == len(aligned) else base
                self.assertIn(expected, compare_exe.describe_difference(original, other), case)
        self.assertIsNone(compare_exe.describe_difference(base, bytes(base)))
        # Not an image: the offset alone.
        self.assertEqual(compare_exe.describe_difference(b"\xd0\xcf\x11\xe0 package", b"\xd0\xcf\x11\xe0 packaGe"),
                         "first difference at offset 10 (0xa); 1 bytes differ")


class BuildsTest(unittest.TestCase):
    def compare(self, files_a, files_b):
        with tempfile.TemporaryDirectory() as a, tempfile.TemporaryDirectory() as b:
            for folder, files in ((a, files_a), (b, files_b)):
                for name, content in files.items():
                    os.makedirs(os.path.dirname(os.path.join(folder, name)), exist_ok=True)
                    with open(os.path.join(folder, name), "wb") as f:
                        f.write(content)
            out = io.StringIO()
            status = compare_exe.compare_builds(a, b, out)
            return status, out.getvalue()

    def test_builds(self):
        exe = image()
        build = {"qmb-setup.exe": exe, "sample-payload/au.msi": b"package", "packages/kit-1041.mst": b"t1",
                 "packages/runtime/zlp1041.MST": b"t2", "packages/kit-1041.msi": b"not compared"}
        rows = [
            # case, changes to the second build, status, lines expected
            ("the same", {}, 0, ["same: 4 files byte for byte (qmb-setup.exe, sample-payload/au.msi, "
                                 "packages/kit-1041.mst, packages/runtime/zlp1041.MST)"]),
            ("a file the build does not keep", {"packages/kit-1041.msi": b"other"}, 0, ["same: 4 files"]),
            ("the exe", {"qmb-setup.exe": changed(exe, PE_OFFSET + 8)}, 1,
             ["DIFFERS qmb-setup.exe: first difference at offset 136 (0x88), file header, TimeDateStamp"]),
            ("a transform", {"packages/runtime/zlp1041.MST": b"t3"}, 1,
             ["DIFFERS packages/runtime/zlp1041.MST: first difference at offset 1 (0x1); 1 bytes differ"]),
            ("a payload file and a file of one build only",
             {"sample-payload/au.msi": b"packagE", "sample-payload/au.cab": b"MSCF"}, 1,
             ["DIFFERS sample-payload/au.msi: first difference at offset 6", "DIFFERS sample-payload/au.cab: only "
              "in one build"]),
        ]
        for case, changes, status, lines in rows:
            with self.subTest(case):
                got_status, text = self.compare(build, dict(build, **changes))
                self.assertEqual(got_status, status, text)
                for line in lines:
                    self.assertIn(line, text, case)
        status, text = self.compare({}, build)
        self.assertEqual(status, 2, text)
        self.assertIn("holds no qmb-setup.exe", text)


class SignedTest(unittest.TestCase):
    def test_signed_is_unsigned_plus_signature(self):
        plain = image() + b"odd"  # a length that needs padding
        text_at = section(plain, ".text")["raw_pointer"] + 16
        rows = [
            # case, signed file, reason expected (None: the same)
            ("signed as osslsigncode signs", sign(plain), None),
            ("code changed", sign(changed(plain, text_at)),
             "not the rebuilt exe plus a signature: first difference at offset %d (%#x), section .text" %
             (text_at, text_at)),
            ("another time stamp only", sign(changed(plain, PE_OFFSET + 8)),
             "nothing differs beyond the time stamp and checksum; 1 bytes differ (was it built with another "
             "SOURCE_DATE_EPOCH?)"),
            ("not signed", plain + bytes(5), "carries no signature"),
            ("a cut file", sign(plain)[:len(plain) - 1], "is not longer than the rebuilt exe"),
            ("no padding", sign(plain, pad=False), "not right after the rebuilt exe's"),
            ("bytes after the table", sign(plain, extra=b"more"), "the file holds 4 more bytes"),
            ("another kind of certificate", sign(plain, kind=1), "does not hold an Authenticode signature"),
        ]
        for case, signed, reason in rows:
            with self.subTest(case):
                got = compare_exe.signed_difference(signed, plain)
                if reason is None:
                    self.assertIsNone(got, case)
                else:
                    self.assertIsNotNone(got, case)
                    self.assertIn(reason, got, case)
        self.assertIn("signed itself", compare_exe.signed_difference(sign(plain), sign(plain)))
        self.assertIn("not a PE image", compare_exe.signed_difference(b"MZ" + bytes(90), plain))


if __name__ == "__main__":
    unittest.main()
