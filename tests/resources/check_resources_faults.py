#!/usr/bin/env python3
"""Shows that check_resources.py catches the faults it is there for.

  check_resources_faults.py --exe EXE --payload-dir DIR --texts JSON --work-dir DIR [--flavour F]

Each case alters a copy of the built executable's bytes in place (a payload
byte, a stored character, a language, an icon entry, a manifest attribute),
or a copy of the payload folder it is compared with, and expects the checker to report a failure that names what was altered.
The unaltered image must pass. Resource sizes never change, so the copy stays
a valid image and only the altered resource differs.
"""

import argparse
import os
import shutil
import struct
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import check_resources as check  # noqa: E402
import pe_resources as pe  # noqa: E402


PAYLOAD_DIR = None  # the folder the executable was built from


def put(image, offset, data):
    image[offset:offset + len(data)] = data


def replace_in(image, resource, old, new, nth=0):
    """Replaces the nth occurrence of old by new (same length) inside a resource."""
    assert len(old) == len(new), (old, new)
    at = -1
    for _ in range(nth + 1):
        at = resource.data.find(old, at + 1)
        assert at >= 0, "%r not found in the resource" % (old,)
    put(image, resource.offset + at, new)


def set_language(image, resource, language):
    put(image, resource.language_entry, struct.pack("<I", language))


def utf16(text):
    return text.encode("utf-16-le")


def flip_payload_byte(image, r, work_dir):
    item = r[("VESK_CAB13", 114, 1033)]
    image[item.offset + len(item.data) - 1] ^= 0x01


def payload_item_overwritten(image, r, work_dir):
    # The start of one item holds another's bytes.
    a, b = r[("VESK_INSTALLER", 1119, 1033)], r[("VESK_INSTALLER", 1120, 1033)]
    put(image, a.offset, b.data[:len(a.data)])


def payload_wrong_language(image, r, work_dir):
    set_language(image, r[("VESK_INSTALLER", 1120, 1033)], 0)


def payload_folder_differs(image, r, work_dir):
    # The image is unchanged; the folder it is compared with is not.
    folder = os.path.join(work_dir, "payload")
    shutil.rmtree(folder, ignore_errors=True)
    shutil.copytree(PAYLOAD_DIR, folder)
    path = os.path.join(folder, "au.cab")
    with open(path, "r+b") as f:
        f.seek(-1, os.SEEK_END)
        last = f.read(1)
        f.seek(-1, os.SEEK_END)
        f.write(bytes([last[0] ^ 0xFF]))
    return folder


def swedish_trailing_blank(image, r, work_dir):
    replace_in(image, r[(pe.RT_STRING, 1, 29)], utf16("a.  "), utf16("a. x"))


def german_read_as_ansi(image, r, work_dir):
    # What a UTF-8 source read as code page 1252 gives for the first byte of "ö".
    replace_in(image, r[(pe.RT_STRING, 1, 7)], utf16("\u00f6"), utf16("\u00c3"))


def english_single_blank(image, r, work_dir):
    replace_in(image, r[(pe.RT_STRING, 1, 1033)], utf16("system.  P"), utf16("system. XP"))


def japanese_character_outside_cp932(image, r, work_dir):
    replace_in(image, r[(pe.RT_STRING, 1, 1041)], utf16("\u30a4"), utf16("\u00e4"))


def korean_under_other_language(image, r, work_dir):
    set_language(image, r[(pe.RT_STRING, 1, 1042)], 1043)


def chinese_languages_swapped(image, r, work_dir):
    set_language(image, r[(pe.RT_STRING, 1, 1028)], 2052)
    set_language(image, r[(pe.RT_STRING, 1, 2052)], 1028)


def icon_entry_bit_count(image, r, work_dir):
    group = r[(pe.RT_GROUP_ICON, 115, 1033)]
    put(image, group.offset + 6 + 14 * 4 + 6, struct.pack("<H", 4))


def icon_entries_in_other_order(image, r, work_dir):
    group = r[(pe.RT_GROUP_ICON, 115, 1033)]
    first = group.data[6:6 + 14]
    second = group.data[6 + 14:6 + 28]
    put(image, group.offset + 6, second + first)


def icon_image_bit_count(image, r, work_dir):
    put(image, r[(pe.RT_ICON, 7, 1033)].offset + 14, struct.pack("<H", 4))


def icon_image_missing(image, r, work_dir):
    set_language(image, r[(pe.RT_ICON, 12, 1033)], 1031)


def manifest_execution_level(image, r, work_dir):
    replace_in(image, r[(pe.RT_MANIFEST, 1, 1033)], b"requireAdministrator",
               b"requireAdministratoR")


def manifest_architecture(image, r, work_dir):
    # The architecture's first letter in the other case: "X86" as "x86",
    # "amd64" as "Amd64".
    manifest = r[(pe.RT_MANIFEST, 1, 1033)]
    at = manifest.data.find(b'processorArchitecture="') + len(b'processorArchitecture="')
    image[manifest.offset + at] ^= 0x20


def manifest_description(image, r, work_dir):
    replace_in(image, r[(pe.RT_MANIFEST, 1, 1033)], b"Update 39", b"Update 38")


def manifest_other_section(image, r, work_dir):
    manifest = r[(pe.RT_MANIFEST, 1, 1033)]
    replace_in(image, manifest, b"description", b"compatibili", 0)
    replace_in(image, manifest, b"description", b"compatibili", 1)


def manifest_language(image, r, work_dir):
    set_language(image, r[(pe.RT_MANIFEST, 1, 1033)], 0)


# (name, part checked, alteration, text the failure must contain)
CASES = [
    ("payload byte flipped", "payload", flip_payload_byte, '"VESK_CAB13" 114'),
    ("payload item overwritten", "payload", payload_item_overwritten, '"VESK_INSTALLER" 1119'),
    ("payload item in language 0", "payload", payload_wrong_language, "languages [0]"),
    ("payload folder changed", "payload", payload_folder_differs, "(au.cab)"),
    ("Swedish trailing blank", "strings", swedish_trailing_blank, "language 29"),
    ("German read as ANSI", "strings", german_read_as_ansi, "language 7 "),
    ("English single blank", "strings", english_single_blank, "language 1033"),
    ("Japanese outside cp932", "strings", japanese_character_outside_cp932,
     "language 1041: '\u00e4'"),
    ("Korean under 1043", "strings", korean_under_other_language, "language 1042: missing"),
    ("Chinese swapped", "strings", chinese_languages_swapped, "string 4, language 2052"),
    ("icon entry bit count", "icon", icon_entry_bit_count, "entry 5:"),
    ("icon entries reordered", "icon", icon_entries_in_other_order, "entry 1:"),
    ("icon image bit count", "icon", icon_image_bit_count, "icon 7 is a"),
    ("icon image missing", "icon", icon_image_missing, "icon 12 (language 1033) is missing"),
    ("manifest execution level", "manifest", manifest_execution_level, "requestedExecutionLevel"),
    ("manifest architecture", "manifest", manifest_architecture, "assemblyIdentity"),
    ("manifest description", "manifest", manifest_description, "description 'Vesk"),
    ("manifest other section", "manifest", manifest_other_section, "compatibili"),
    ("manifest language", "manifest", manifest_language, "(24, 1, 0)"),
]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--exe", required=True)
    parser.add_argument("--payload-dir", required=True)
    parser.add_argument("--texts", required=True)
    parser.add_argument("--work-dir", required=True)
    parser.add_argument("--flavour", choices=sorted(check.MANIFEST_ARCHITECTURES), default="i586")
    args = parser.parse_args()
    global PAYLOAD_DIR
    PAYLOAD_DIR = args.payload_dir
    with open(args.exe, "rb") as f:
        original = f.read()
    texts = check.load_texts(args.texts)
    resources = pe.read_resources(original)

    errors = []
    baseline = check.run(original, check.PARTS, args.payload_dir, texts, args.flavour)
    if baseline:
        errors.append("the unaltered image fails: %s" % baseline)

    for name, part, alter, expected in CASES:
        image = bytearray(original)
        folder = alter(image, resources, args.work_dir) or args.payload_dir
        failures = check.run(bytes(image), [part], folder, texts, args.flavour)
        if not any(expected in line for line in failures):
            errors.append("%s: expected a failure containing %r, got %s"
                          % (name, expected, failures or "none"))
    shutil.rmtree(args.work_dir, ignore_errors=True)

    for line in errors:
        print(line)
    if errors:
        return 1
    print("ok: %d altered images caught" % len(CASES))
    return 0


if __name__ == "__main__":
    sys.exit(main())
