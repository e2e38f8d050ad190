#!/usr/bin/env python3
"""Checks the resource section of the built qmb-setup.exe.

  check_resources.py --exe EXE --payload-dir DIR --texts JSON [--flavour i586|amd64] PART...

PART is payload, strings, icon, manifest or all. Each failure is printed on
a line of its own, naming the resource and what differed; the exit code is 1
when there was any.

- payload: each of the ten payload items under its type name and number, in
  language 1033 only, byte for byte the file of the payload folder.
- strings: string 4 in exactly the ten languages, equal to the expected text
  once both are converted to the language's ANSI code page (what LoadStringA
  hands the program).
- icon: group icon 115 is the only group and lists icons 1 to 12 at 48, 32,
  24 and 16 pixels, first at 16 colours, then 256, then 32-bit colour; each
  image exists and is the bitmap its entry announces.
- manifest: the one manifest (type 24, number 1, language 1033) holds the
  assembly identity, the description and the administrator request, and
  nothing else. The identity names the flavour's architecture (X86 for the
  32-bit exe, amd64 for the 64-bit one) and the flavour itself.
"""

import argparse
import json
import os
import struct
import sys
import xml.etree.ElementTree as ET

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import pe_resources as pe  # noqa: E402

PAYLOAD = [
    ("VESK_INSTALLER", 101, "qmb1.6.0_39.msi"),
    ("VESK_CAB9", 110, "ss160390.cab"),
    ("VESK_CAB10", 111, "st160390.cab"),
    ("VESK_CAB7", 108, "sj160390.cab"),
    ("VESK_CAB8", 109, "sp160390.cab"),
    ("VESK_CAB11", 112, "sz160390.cab"),
    ("VESK_CAB12", 113, "sb160390.cab"),
    ("VESK_CAB13", 114, "sr160390.cab"),
    ("VESK_INSTALLER", 1120, "au.cab"),
    ("VESK_INSTALLER", 1119, "au.msi"),
]
PAYLOAD_LANGUAGE = 1033

# The ANSI code page LoadStringA converts each language's text to.
STRING_CODE_PAGES = {
    7: "cp1252", 10: "cp1252", 12: "cp1252", 16: "cp1252", 29: "cp1252",
    1028: "cp950", 1033: "cp1252", 1041: "cp932", 1042: "cp949", 2052: "cp936",
}
VERSION_MESSAGE_ID = 4

ICON_GROUP = 115
ICON_IMAGES = [(size, bits) for bits in (4, 8, 32) for size in (48, 32, 24, 16)]

MANIFEST_ID = 1
ASM_V1 = "urn:schemas-microsoft-com:asm.v1"
ASM_V3 = "urn:schemas-microsoft-com:asm.v3"
MANIFEST_ARCHITECTURES = {"i586": "X86", "amd64": "amd64"}


def expected_identity(flavour):
    return {
        "version": "6.0.390.4",
        "processorArchitecture": MANIFEST_ARCHITECTURES[flavour],
        "name": "qmb-6-windows-" + flavour,
        "type": "win32",
    }


DESCRIPTION = "Vesk Runtime Environment 6.0 Update 39"
EXECUTION_LEVEL = {"level": "requireAdministrator", "uiAccess": "false"}


def first_difference(a, b):
    for i, (x, y) in enumerate(zip(a, b)):
        if x != y:
            return i
    return min(len(a), len(b))


def check_payload(resources, payload_dir):
    failures = []
    expected_keys = set()
    for rtype, number, name in PAYLOAD:
        label = '"%s" %d (%s)' % (rtype, number, name)
        languages = sorted(lang for (t, n, lang) in resources if t == rtype and n == number)
        expected_keys.update((rtype, number, lang) for lang in languages)
        if languages != [PAYLOAD_LANGUAGE]:
            failures.append("payload %s: stored in languages %s, expected [%d] only"
                            % (label, languages, PAYLOAD_LANGUAGE))
        item = resources.get((rtype, number, PAYLOAD_LANGUAGE))
        if item is None:
            continue
        with open(os.path.join(payload_dir, name), "rb") as f:
            wanted = f.read()
        if item.data != wanted:
            failures.append("payload %s: %d bytes embedded, the file has %d; first difference "
                            "at byte %d" % (label, len(item.data), len(wanted),
                                            first_difference(item.data, wanted)))
    payload_types = {t for t, _, _ in PAYLOAD}
    for key in sorted((k for k in resources if k[0] in payload_types and k not in expected_keys),
                      key=str):
        failures.append('payload: unexpected resource "%s" %s, language %d' % key)
    return failures


def load_texts(path):
    with open(path, encoding="utf-8") as f:
        return {int(lang): text for lang, text in json.load(f).items()}


def check_strings(resources, texts):
    failures = []
    block = VERSION_MESSAGE_ID // 16 + 1
    languages = sorted(lang for (t, n, lang) in resources if t == pe.RT_STRING and n == block)
    if languages != sorted(STRING_CODE_PAGES):
        failures.append("strings: block %d is stored in languages %s, expected %s"
                        % (block, languages, sorted(STRING_CODE_PAGES)))
    for lang, code_page in sorted(STRING_CODE_PAGES.items()):
        item = resources.get((pe.RT_STRING, block, lang))
        if item is None:
            failures.append("string %d, language %d: missing" % (VERSION_MESSAGE_ID, lang))
            continue
        try:
            stored = pe.string_block(item.data)[VERSION_MESSAGE_ID % 16]
        except pe.PeError as e:
            failures.append("string %d, language %d: %s" % (VERSION_MESSAGE_ID, lang, e))
            continue
        wanted = texts[lang].encode(code_page)
        try:
            got = stored.encode(code_page)
        except UnicodeEncodeError as e:
            failures.append("string %d, language %d: %r at position %d has no form in %s"
                            % (VERSION_MESSAGE_ID, lang, stored[e.start], e.start, code_page))
            continue
        if got != wanted:
            at = first_difference(got, wanted)
            failures.append(
                "string %d, language %d (%s): differs at byte %d: stored %r..., expected %r..."
                " (%d bytes stored, %d expected)"
                % (VERSION_MESSAGE_ID, lang, code_page, at,
                   got[max(0, at - 8):at + 12].decode(code_page, "replace"),
                   wanted[max(0, at - 8):at + 12].decode(code_page, "replace"),
                   len(got), len(wanted)))
    return failures


def check_icon(resources):
    failures = []
    groups = sorted({(n, lang) for (t, n, lang) in resources if t == pe.RT_GROUP_ICON}, key=str)
    if [n for n, _ in groups] != [ICON_GROUP]:
        failures.append("icon: groups present %s, expected exactly [%d]"
                        % ([g for g in groups], ICON_GROUP))
    group = [(lang, r) for (t, n, lang), r in resources.items()
             if t == pe.RT_GROUP_ICON and n == ICON_GROUP]
    if not group:
        return failures
    group_language, data = group[0][0], group[0][1].data
    if len(data) < 6:
        return failures + ["icon group %d: only %d bytes" % (ICON_GROUP, len(data))]
    reserved, kind, count = struct.unpack_from("<HHH", data, 0)
    if (reserved, kind) != (0, 1):
        failures.append("icon group %d: header %d, %d, expected 0, 1 (icon)"
                        % (ICON_GROUP, reserved, kind))
    if count != len(ICON_IMAGES) or len(data) != 6 + 14 * count:
        return failures + ["icon group %d: %d entries in %d bytes, expected %d entries"
                           % (ICON_GROUP, count, len(data), len(ICON_IMAGES))]
    for i, (size, bits) in enumerate(ICON_IMAGES):
        width, height, colours, _, planes, bit_count, length, icon_id = struct.unpack_from(
            "<BBBBHHIH", data, 6 + 14 * i)
        wanted = (size, size, 16 if bits == 4 else 0, 1, bits, i + 1)
        got = (width, height, colours, planes, bit_count, icon_id)
        label = "icon group %d, entry %d" % (ICON_GROUP, i + 1)
        if got != wanted:
            failures.append("%s: width, height, colours, planes, bits, id are %s, expected %s"
                            % (label, got, wanted))
        image = resources.get((pe.RT_ICON, icon_id, group_language))
        if image is None:
            failures.append("%s: icon %d (language %d) is missing"
                            % (label, icon_id, group_language))
            continue
        if len(image.data) != length:
            failures.append("%s: icon %d has %d bytes, the entry says %d"
                            % (label, icon_id, len(image.data), length))
        if len(image.data) < 40:
            failures.append("%s: icon %d is too short for a bitmap" % (label, icon_id))
            continue
        _, bmp_width, bmp_height, bmp_planes, bmp_bits = struct.unpack_from("<IiiHH", image.data)
        if (bmp_width, bmp_height, bmp_bits) != (size, 2 * size, bits):
            failures.append("%s: icon %d is a %dx%d bitmap of %d bits, expected %dx%d of %d"
                            % (label, icon_id, bmp_width, bmp_height, bmp_bits,
                               size, 2 * size, bits))
    extra = sorted(n for (t, n, _) in resources
                   if t == pe.RT_ICON and not (isinstance(n, int) and 1 <= n <= len(ICON_IMAGES)))
    if extra:
        failures.append("icon: images %s belong to no group" % extra)
    return failures


def _children(element):
    return [child.tag for child in element]


def check_manifest(resources, flavour):
    failures = []
    keys = sorted((k for k in resources if k[0] == pe.RT_MANIFEST), key=str)
    if keys != [(pe.RT_MANIFEST, MANIFEST_ID, 1033)]:
        failures.append("manifest: resources %s, expected exactly [(24, 1, 1033)]" % keys)
    item = resources.get((pe.RT_MANIFEST, MANIFEST_ID, 1033))
    if item is None:
        return failures
    try:
        root = ET.fromstring(item.data)
    except ET.ParseError as e:
        return failures + ["manifest: not well-formed XML: %s" % e]

    def v1(tag):
        return "{%s}%s" % (ASM_V1, tag)

    def v3(tag):
        return "{%s}%s" % (ASM_V3, tag)

    if root.tag != v1("assembly") or root.get("manifestVersion") != "1.0":
        failures.append("manifest: root is %s manifestVersion=%r, expected %s 1.0"
                        % (root.tag, root.get("manifestVersion"), v1("assembly")))
    sections = _children(root)
    if sorted(sections) != sorted([v1("assemblyIdentity"), v1("description"), v3("trustInfo")]):
        failures.append("manifest: sections %s, expected assemblyIdentity, description and "
                        "trustInfo only" % sections)
    identity = root.find(v1("assemblyIdentity"))
    wanted = expected_identity(flavour)
    if identity is None or dict(identity.attrib) != wanted:
        failures.append("manifest: assemblyIdentity %s, expected %s"
                        % (None if identity is None else dict(identity.attrib), wanted))
    description = root.find(v1("description"))
    if description is None or description.text != DESCRIPTION:
        failures.append("manifest: description %r, expected %r"
                        % (None if description is None else description.text, DESCRIPTION))
    path = [v3("trustInfo"), v3("security"), v3("requestedPrivileges"),
            v3("requestedExecutionLevel")]
    element = root
    for depth, tag in enumerate(path):
        found = [child for child in element if child.tag == tag]
        if len(found) != 1 or (depth > 0 and _children(element) != [tag]):
            return failures + ["manifest: %s holds %s, expected one %s and nothing else"
                               % (element.tag, _children(element), tag)]
        element = found[0]
    if dict(element.attrib) != EXECUTION_LEVEL or len(element):
        failures.append("manifest: requestedExecutionLevel %s, expected %s"
                        % (dict(element.attrib), EXECUTION_LEVEL))
    return failures


def run(image, parts, payload_dir, texts, flavour="i586"):
    resources = pe.read_resources(image)
    failures = []
    if "payload" in parts:
        failures += check_payload(resources, payload_dir)
    if "strings" in parts:
        failures += check_strings(resources, texts)
    if "icon" in parts:
        failures += check_icon(resources)
    if "manifest" in parts:
        failures += check_manifest(resources, flavour)
    return failures


PARTS = ("payload", "strings", "icon", "manifest")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--exe", required=True)
    parser.add_argument("--payload-dir", required=True)
    parser.add_argument("--texts", required=True, help="expected texts of string 4 (JSON)")
    parser.add_argument("--flavour", choices=sorted(MANIFEST_ARCHITECTURES), default="i586")
    parser.add_argument("parts", nargs="+", choices=PARTS + ("all",))
    args = parser.parse_args()
    parts = PARTS if "all" in args.parts else args.parts
    with open(args.exe, "rb") as f:
        image = f.read()
    if ".rsrc" not in pe.section_names(image):
        print("%s has no .rsrc section" % args.exe)
        return 1
    failures = run(image, parts, args.payload_dir, load_texts(args.texts), args.flavour)
    for line in failures:
        print(line)
    if failures:
        return 1
    print("ok: %s" % ", ".join(parts))
    return 0


if __name__ == "__main__":
    sys.exit(main())
