#!/usr/bin/env python3
"""Compares executables byte for byte and says where they differ.

  compare_exe.py builds BUILD_A BUILD_B
      The files of two builds that must be the same (the exe, the sample
      payload and the transforms the build made, where built) compared byte
      for byte. Each file that differs is named with its first differing
      offset and, in a PE image, the part of the image it lies in (a header
      field, the section table or a section). Exit 0 when all are the same,
      1 when one differs or is missing from one build only, 2 when BUILD_A
      holds no exe.

  compare_exe.py signed SIGNED UNSIGNED
      Whether SIGNED is UNSIGNED plus an Authenticode signature: the same
      bytes but for the image checksum and the certificate table's entry in
      the data directories, then at most 7 zero bytes of padding and the
      certificate table, which ends the file. Prints "same" or "differs"
      with the reason. Exit 0 when the same, 1 when not, 2 when a file
      cannot be read. Whether the signature itself holds is
      `osslsigncode verify`'s question, not this one's.
"""
import glob
import os
import struct
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "cmake"))
import align_resources  # noqa: E402

COFF_FIELDS = [(0, 2, "Machine"), (2, 2, "NumberOfSections"), (4, 4, "TimeDateStamp"),
               (8, 4, "PointerToSymbolTable"), (12, 4, "NumberOfSymbols"), (16, 2, "SizeOfOptionalHeader"),
               (18, 2, "Characteristics")]
# Optional header fields by offset, PE32 (0x10b) and PE32+ (0x20b) where they differ.
OPTIONAL_FIELDS = {
    0x10B: [(0, 2, "Magic"), (2, 1, "MajorLinkerVersion"), (3, 1, "MinorLinkerVersion"), (4, 4, "SizeOfCode"),
            (16, 4, "AddressOfEntryPoint"), (28, 4, "ImageBase"), (56, 4, "SizeOfImage"),
            (60, 4, "SizeOfHeaders"), (64, 4, "CheckSum"), (68, 2, "Subsystem"), (70, 2, "DllCharacteristics")],
    0x20B: [(0, 2, "Magic"), (2, 1, "MajorLinkerVersion"), (3, 1, "MinorLinkerVersion"), (4, 4, "SizeOfCode"),
            (16, 4, "AddressOfEntryPoint"), (24, 8, "ImageBase"), (56, 4, "SizeOfImage"),
            (60, 4, "SizeOfHeaders"), (64, 4, "CheckSum"), (68, 2, "Subsystem"), (70, 2, "DllCharacteristics")],
}
DIRECTORY_NAMES = ["export", "import", "resource", "exception", "certificate table", "base relocation", "debug",
                   "architecture", "global pointer", "TLS", "load configuration", "bound import",
                   "import address table", "delay import", "CLR runtime header", "reserved"]
WIN_CERT_REVISION_2_0 = 0x0200
WIN_CERT_TYPE_PKCS_SIGNED_DATA = 0x0002


def first_difference(a, b):
    """The first offset at which a and b differ (the shorter one's length
    when one is the start of the other), or None when they are equal."""
    if a == b:
        return None
    n = min(len(a), len(b))
    step = 4096
    for start in range(0, n, step):
        end = min(start + step, n)
        if a[start:end] != b[start:end]:
            return next(i for i in range(start, end) if a[i] != b[i])
    return n


def _field(fields, base, offset):
    for at, size, name in fields:
        if base + at <= offset < base + at + size:
            return name
    return None


def locate(data, offset):
    """Where offset lies in the PE image data, in words; for data that is
    not a PE image, an empty text."""
    try:
        layout = align_resources.parse(data)
    except (align_resources.LayoutError, struct.error):
        return ""
    pe, optional = layout["pe"], layout["optional"]
    if offset < pe:
        return "DOS header and stub"
    if offset < pe + 4:
        return "PE signature"
    if offset < optional:
        return "file header, %s" % _field(COFF_FIELDS, pe + 4, offset)
    if offset < layout["directories"]:
        magic = struct.unpack_from("<H", data, optional)[0]
        name = _field(OPTIONAL_FIELDS.get(magic, []), optional, offset)
        return "optional header, %s" % (name or "+%#x" % (offset - optional))
    if offset < optional + layout["optional_size"]:
        index = (offset - layout["directories"]) // 8
        name = DIRECTORY_NAMES[index] if index < len(DIRECTORY_NAMES) else str(index)
        return "optional header, data directory %d (%s)" % (index, name)
    sections = layout["sections"]
    if offset < layout["section_table"] + 40 * len(sections):
        return "section table, entry of %s" % sections[(offset - layout["section_table"]) // 40]["name"]
    for s in sections:
        if s["raw_size"] and s["raw_pointer"] <= offset < s["raw_pointer"] + s["raw_size"]:
            return "section %s, +%#x (RVA %#x)" % (s["name"], offset - s["raw_pointer"],
                                                   s["rva"] + offset - s["raw_pointer"])
    end = max([s["raw_pointer"] + s["raw_size"] for s in sections if s["raw_size"]], default=0)
    if offset >= end:
        return "after the last section (certificate table or appended data)"
    following = min((s for s in sections if s["raw_size"] and s["raw_pointer"] > offset),
                    key=lambda s: s["raw_pointer"])
    return "padding before section %s" % following["name"]


def _without_stamps(data):
    """A PE image with its time stamp and checksum zeroed, which follow from
    every other byte when the time stamp is the image's hash; other data as
    it is."""
    try:
        layout = align_resources.parse(data)
    except (align_resources.LayoutError, struct.error):
        return data
    out = bytearray(data)
    for offset in (layout["timestamp_offset"], layout["checksum_offset"]):
        struct.pack_into("<I", out, offset, 0)
    return bytes(out)


def _at(data_a, data_b, offset):
    where = locate(data_a, offset) or locate(data_b, offset)
    return "offset %d (%#x)%s" % (offset, offset, ", " + where if where else "")


def describe_difference(a, b):
    """None when a and b are equal; otherwise a text naming the first
    differing offset and where it lies, the first beyond an image's time
    stamp and checksum when that is another, and the sizes when they
    differ."""
    offset = first_difference(a, b)
    if offset is None:
        return None
    text = "first difference at " + _at(a, b, offset)
    beyond = first_difference(_without_stamps(a), _without_stamps(b))
    if beyond is None:
        text += "; nothing differs beyond the time stamp and checksum"
    elif beyond != offset:
        text += "; beyond the time stamp and checksum at " + _at(a, b, beyond)
    if len(a) != len(b):
        text += "; sizes %d and %d bytes" % (len(a), len(b))
    else:
        text += "; %d bytes differ" % sum(x != y for x, y in zip(a, b))
    return text


def build_outputs(build):
    """The files of a build that must be the same in every build of the same
    inputs, relative to the build folder: the exe, the sample payload and the
    transforms made for it (where the build made them)."""
    names = ["qmb-setup.exe"]
    for pattern in ("sample-payload/*", "packages/**/*.[mM][sS][tT]"):
        names += sorted(os.path.relpath(p, build)
                        for p in glob.glob(os.path.join(build, pattern), recursive=True) if os.path.isfile(p))
    return names


def compare_builds(build_a, build_b, out=sys.stdout):
    if not os.path.isfile(os.path.join(build_a, "qmb-setup.exe")):
        out.write("%s holds no qmb-setup.exe\n" % build_a)
        return 2
    names = build_outputs(build_a)
    names += [n for n in build_outputs(build_b) if n not in names]
    status = 0
    for name in names:
        paths = [os.path.join(build_a, name), os.path.join(build_b, name)]
        missing = [p for p in paths if not os.path.isfile(p)]
        if missing:
            out.write("DIFFERS %s: only in one build (no %s)\n" % (name, missing[0]))
            status = 1
            continue
        with open(paths[0], "rb") as fa, open(paths[1], "rb") as fb:
            difference = describe_difference(fa.read(), fb.read())
        if difference:
            out.write("DIFFERS %s: %s\n" % (name, difference))
            status = 1
    if status == 0:
        out.write("same: %d files byte for byte (%s)\n" % (len(names), ", ".join(names)))
    return status


def signed_difference(signed, unsigned):
    """None when signed is unsigned plus an Authenticode signature; otherwise
    the reason it is not."""
    try:
        layout = align_resources.parse(signed)
    except (align_resources.LayoutError, struct.error) as error:
        return "the signed file is not a PE image: %s" % error
    try:
        plain = align_resources.parse(unsigned)
    except (align_resources.LayoutError, struct.error) as error:
        return "the rebuilt exe is not a PE image: %s" % error
    if len(plain["dirs"]) <= align_resources.DIR_SECURITY or len(layout["dirs"]) <= align_resources.DIR_SECURITY:
        return "an image has no certificate table entry in its data directories"
    if plain["dirs"][align_resources.DIR_SECURITY][1]:
        return "the rebuilt exe is signed itself"
    cert_offset, cert_size = layout["dirs"][align_resources.DIR_SECURITY]
    if not cert_size:
        return "the file carries no signature (its certificate table entry is empty)"
    # Everything the signature does not change must be the rebuilt exe's.
    ignored = [(layout["checksum_offset"], 4), (layout["directories"] + 8 * align_resources.DIR_SECURITY, 8)]
    masked = [bytearray(signed[:len(unsigned)]), bytearray(unsigned)]
    for image in masked:
        for at, size in ignored:
            image[at:at + size] = bytes(size)
    prefix, plain_bytes = bytes(masked[0]), bytes(masked[1])
    offset = first_difference(prefix, plain_bytes)
    if offset is not None and offset < len(prefix):
        n = len(prefix)
        text = "not the rebuilt exe plus a signature: " + describe_difference(prefix, plain_bytes[:n])
        if first_difference(_without_stamps(prefix), _without_stamps(plain_bytes[:n])) is None:
            text += " (was it built with another SOURCE_DATE_EPOCH?)"
        return text
    if len(signed) <= len(unsigned):
        return "the signed file (%d bytes) is not longer than the rebuilt exe (%d bytes)" % (len(signed), len(unsigned))
    padding = signed[len(unsigned):cert_offset]
    if cert_offset < len(unsigned) or len(padding) > 7 or any(padding) or cert_offset % 8:
        return ("the certificate table starts at %#x, not right after the rebuilt exe's %d bytes and at most 7 "
                "bytes of zero padding" % (cert_offset, len(unsigned)))
    if cert_offset + cert_size != len(signed):
        return ("after the certificate table (%#x, %d bytes) the file holds %d more bytes"
                % (cert_offset, cert_size, len(signed) - cert_offset - cert_size))
    length, revision, kind = struct.unpack_from("<IHH", signed, cert_offset) if cert_size >= 8 else (0, 0, 0)
    if not 8 < length <= cert_size or revision != WIN_CERT_REVISION_2_0 or kind != WIN_CERT_TYPE_PKCS_SIGNED_DATA:
        return ("the certificate table does not hold an Authenticode signature (length %d, revision %#x, type %#x)"
                % (length, revision, kind))
    return None


def compare_signed(signed_path, unsigned_path, out=sys.stdout):
    try:
        with open(signed_path, "rb") as f:
            signed = f.read()
        with open(unsigned_path, "rb") as f:
            unsigned = f.read()
    except OSError as error:
        out.write("cannot compare: %s\n" % error)
        return 2
    reason = signed_difference(signed, unsigned)
    if reason:
        out.write("differs: %s\n" % reason)
        return 1
    cert_size = align_resources.parse(signed)["dirs"][align_resources.DIR_SECURITY][1]
    out.write("same: %s is the exe these inputs build (%d bytes) plus an Authenticode signature "
              "(a certificate table of %d bytes)\n" % (signed_path, len(unsigned), cert_size))
    return 0


def main(argv):
    if len(argv) == 4 and argv[1] == "builds":
        return compare_builds(argv[2], argv[3])
    if len(argv) == 4 and argv[1] == "signed":
        return compare_signed(argv[2], argv[3])
    sys.stderr.write(__doc__)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
