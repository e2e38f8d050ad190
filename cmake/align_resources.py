#!/usr/bin/env python3
"""Moves the resource section of a PE image to a page boundary of the file.

  align_resources.py IMAGE [--page BYTES]

The product is linked with the usual file alignment of 512 bytes, which keeps
each of its sections small in the file. Wine's loader maps a section from the
file only when its raw data starts on a page boundary of the file; any other
section it reads into private memory before the entry point runs. The payload
lives in the resource section, so that section must start on a page boundary,
and only that one needs to.

This inserts zero bytes before the resource section's raw data, as many as
bring it to the next page boundary, moves the raw-data pointers of that
section and of every section after it by as much, and computes the image
checksum again (when the image has one). The layout in memory does not change.
An image whose resource section starts on a page boundary already is left
untouched. Images with something else that holds file offsets (a certificate
table, a debug directory, a COFF symbol table or section relocations) are
refused, since moving data would break it.

Exit status 0 on success, 1 with a message when the image cannot be aligned.
"""
import argparse
import os
import struct
import sys

DIR_RESOURCE = 2
DIR_SECURITY = 4
DIR_DEBUG = 6


class LayoutError(Exception):
    pass


def parse(data):
    """The offsets and values this tool reads and writes."""
    if len(data) < 0x40 or data[:2] != b"MZ":
        raise LayoutError("not a PE image (no MZ header)")
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe:pe + 4] != b"PE\0\0":
        raise LayoutError("not a PE image (no PE signature)")
    coff = pe + 4
    sections, symbols_pointer, symbols = struct.unpack_from("<2xHxxxxII", data, coff)
    optional_size = struct.unpack_from("<H", data, coff + 16)[0]
    optional = coff + 20
    magic = struct.unpack_from("<H", data, optional)[0]
    if magic == 0x10B:
        directories = optional + 96
        count_offset = optional + 92
    elif magic == 0x20B:
        directories = optional + 112
        count_offset = optional + 108
    else:
        raise LayoutError(f"unknown optional header magic {magic:#x}")
    file_alignment = struct.unpack_from("<I", data, optional + 36)[0]
    checksum_offset = optional + 64
    count = struct.unpack_from("<I", data, count_offset)[0]
    dirs = [struct.unpack_from("<II", data, directories + 8 * i) for i in range(count)]
    table = optional + optional_size
    section_list = []
    for i in range(sections):
        entry = table + 40 * i
        name = data[entry:entry + 8].rstrip(b"\0").decode("ascii", "replace")
        virtual_size, rva, raw_size, raw_pointer, relocations, lines, n_relocs, n_lines = struct.unpack_from(
            "<IIIIIIHH", data, entry + 8)
        section_list.append({"entry": entry, "name": name, "rva": rva, "virtual_size": virtual_size,
                             "raw_size": raw_size, "raw_pointer": raw_pointer,
                             "file_refs": relocations or lines or n_relocs or n_lines})
    return {"symbols": symbols_pointer or symbols, "file_alignment": file_alignment,
            "checksum_offset": checksum_offset, "dirs": dirs, "sections": section_list,
            "pe": pe, "timestamp_offset": coff + 4, "optional": optional, "optional_size": optional_size,
            "directories": directories, "section_table": table}


def checksum(data, checksum_offset):
    """The PE image checksum: the 16-bit words of the file (the checksum field
    counted as zero) added with end-around carry, plus the file's length."""
    padded = bytes(data[:checksum_offset]) + b"\0\0\0\0" + bytes(data[checksum_offset + 4:])
    if len(padded) % 2:
        padded += b"\0"
    total = sum(memoryview(padded).cast("H"))
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return (total + len(data)) & 0xFFFFFFFF


def resource_section(layout):
    dirs = layout["dirs"]
    if len(dirs) <= DIR_RESOURCE or dirs[DIR_RESOURCE][0] == 0:
        raise LayoutError("the image has no resource directory")
    rva = dirs[DIR_RESOURCE][0]
    for section in layout["sections"]:
        size = max(section["virtual_size"], section["raw_size"])
        if section["rva"] <= rva < section["rva"] + size:
            return section
    raise LayoutError(f"no section holds the resource directory at {rva:#x}")


def align(data, page=4096):
    """The aligned image (bytes), or None when it is aligned already."""
    layout = parse(data)
    rsrc = resource_section(layout)
    start = rsrc["raw_pointer"]
    if start % page == 0:
        return None
    if page % layout["file_alignment"]:
        raise LayoutError(f"the page size {page} is not a multiple of the file alignment {layout['file_alignment']}")
    dirs = layout["dirs"]
    if len(dirs) > DIR_SECURITY and dirs[DIR_SECURITY][1]:
        raise LayoutError("the image is signed: its certificate table holds file offsets")
    if len(dirs) > DIR_DEBUG and dirs[DIR_DEBUG][1]:
        raise LayoutError("the image has a debug directory, whose entries hold file offsets")
    if layout["symbols"]:
        raise LayoutError("the image has a COFF symbol table (link it stripped)")
    if any(s["file_refs"] for s in layout["sections"]):
        raise LayoutError("a section has relocations or line numbers in the file")
    pad = -start % page
    out = bytearray(data[:start]) + bytearray(pad) + bytearray(data[start:])
    for section in layout["sections"]:
        if section["raw_pointer"] >= start and section["raw_size"]:
            struct.pack_into("<I", out, section["entry"] + 20, section["raw_pointer"] + pad)
    old_sum = struct.unpack_from("<I", data, layout["checksum_offset"])[0]
    if old_sum:
        if checksum(data, layout["checksum_offset"]) != old_sum:
            raise LayoutError(f"the image's checksum {old_sum:#x} is not the one computed here")
        struct.pack_into("<I", out, layout["checksum_offset"], checksum(out, layout["checksum_offset"]))
    return bytes(out)


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("image")
    parser.add_argument("--page", type=int, default=4096)
    args = parser.parse_args(argv)
    try:
        with open(args.image, "rb") as f:
            data = f.read()
        aligned = align(data, args.page)
    except (OSError, LayoutError, struct.error) as error:
        print(f"align_resources.py: {args.image}: {error}", file=sys.stderr)
        return 1
    if aligned is not None:
        replace_image(args.image, aligned)
    return 0


def replace_image(path, data):
    """Writes data in place of the image at path, keeping its mode: a step
    that fails half-way leaves the old image, not a partial one."""
    tmp = path + ".rewriting"
    with open(tmp, "wb") as f:
        f.write(data)
    os.chmod(tmp, os.stat(path).st_mode)
    os.replace(tmp, path)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
