"""Reads the resource section of a PE image (an .exe or .dll) with nothing but
the standard library.

read_resources(image_bytes) returns a dict that maps (type, name, language)
to a Resource. A type or name is an int for a numbered entry and a str for a
named one (named entries keep their spelling). Resource.offset is the file
offset of the data and Resource.language_entry that of the directory entry
that gives its language, so that tests can alter both in a copy of the image.
"""

import struct
from dataclasses import dataclass

RT_ICON = 3
RT_STRING = 6
RT_GROUP_ICON = 14
RT_MANIFEST = 24


class PeError(Exception):
    pass


@dataclass
class Resource:
    offset: int
    data: bytes
    code_page: int
    language_entry: int


def _u16(b, at):
    return struct.unpack_from("<H", b, at)[0]


def _u32(b, at):
    return struct.unpack_from("<I", b, at)[0]


def _sections(image):
    if image[:2] != b"MZ":
        raise PeError("no MZ header")
    pe = _u32(image, 0x3C)
    if image[pe:pe + 4] != b"PE\0\0":
        raise PeError("no PE signature")
    machine, count, _, _, _, optional_size, _ = struct.unpack_from("<HHIIIHH", image, pe + 4)
    optional = pe + 24
    magic = _u16(image, optional)
    if magic == 0x10B:
        directories = optional + 96
    elif magic == 0x20B:
        directories = optional + 112
    else:
        raise PeError("unknown optional header magic 0x%x" % magic)
    resource_rva, resource_size = struct.unpack_from("<II", image, directories + 2 * 8)
    table = optional + optional_size
    sections = []
    for i in range(count):
        name, vsize, rva, raw_size, raw_offset = struct.unpack_from("<8sIIII", image, table + 40 * i)
        sections.append((name.rstrip(b"\0").decode("latin-1"), rva, max(vsize, raw_size),
                         raw_offset, raw_size))
    return sections, resource_rva, resource_size


def section_names(image):
    return [s[0] for s in _sections(image)[0]]


def _file_offset(sections, rva, length):
    for _, start, size, raw_offset, raw_size in sections:
        if start <= rva and rva + length <= start + size:
            if rva - start + length > raw_size:
                raise PeError("RVA 0x%x+%d lies beyond the section's file data" % (rva, length))
            return raw_offset + (rva - start)
    raise PeError("RVA 0x%x+%d is in no section" % (rva, length))


def read_resources(image):
    sections, root_rva, root_size = _sections(image)
    if root_rva == 0:
        return {}
    base = _file_offset(sections, root_rva, root_size)

    def entries(directory_offset):
        named, numbered = struct.unpack_from("<HH", image, base + directory_offset + 12)
        for i in range(named + numbered):
            name, target = struct.unpack_from("<II", image, base + directory_offset + 16 + 8 * i)
            if name & 0x80000000:
                at = base + (name & 0x7FFFFFFF)
                length = _u16(image, at)
                key = image[at + 2:at + 2 + 2 * length].decode("utf-16-le")
            else:
                key = name & 0xFFFF
            yield key, target, base + directory_offset + 16 + 8 * i

    def subdirectory(target):
        if not target & 0x80000000:
            raise PeError("a data entry where a directory was expected")
        return target & 0x7FFFFFFF

    found = {}
    for rtype, t1, _ in entries(0):
        for rname, t2, _ in entries(subdirectory(t1)):
            for language, t3, entry in entries(subdirectory(t2)):
                if t3 & 0x80000000:
                    raise PeError("a directory where a data entry was expected")
                data_rva, size, code_page, _ = struct.unpack_from("<IIII", image, base + t3)
                offset = _file_offset(sections, data_rva, size)
                found[(rtype, rname, language)] = Resource(offset, image[offset:offset + size],
                                                           code_page, entry)
    return found


def string_block(data):
    """The 16 strings of one RT_STRING block (UTF-16 text, empty when absent)."""
    strings = []
    at = 0
    for _ in range(16):
        if at + 2 > len(data):
            raise PeError("string block ends after %d strings" % len(strings))
        length = _u16(data, at)
        at += 2
        if at + 2 * length > len(data):
            raise PeError("string %d runs past the end of its block" % len(strings))
        strings.append(data[at:at + 2 * length].decode("utf-16-le"))
        at += 2 * length
    return strings
