#!/usr/bin/env python3
"""Checks a payload folder against the contract between qmb-setup.exe and the
packages it carries, and reports every way the ten files break it.

  payload_contract.py [--helper msiembedded.exe --wineprefix DIR [--wine LOADER] | --no-wine REASON]
                      [--flavour i586|amd64] [--warn-only] [--stamp FILE] PAYLOAD_DIR

Each finding names the file, the table and row (or the item), what was
expected, what was found, and how to mend it. Exit status: 0 when the folder
keeps the contract (or with --warn-only, which reports the findings and
passes), 1 on any finding, 2 when the check itself cannot run (a tool
missing, bad usage). With --stamp, FILE is written when there is no finding,
for a build that reruns the check only when the payload changes.

Packages are read with msitools (msiinfo), cabinets with gcab. The embedded
transforms are sub-storages, which msitools does not show: they are looked
at under Wine with Wine's own Windows Installer by msiembedded.exe
(tools/msitransform), the way msiexec finds them for TRANSFORMS=:1041.
Its output goes to files, never to a pipe: the first Wine program of a
prefix starts Wine's services, which inherit its output and outlive it, so
a reader of a pipe would wait for them. Without --helper the transforms are
reported as not checked, which is a finding; with --no-wine (a machine where
Wine cannot run) they are left out with a note saying why, and every other
rule still counts.

The flavour is the exe's that will carry the payload: the 32-bit product
(i586, the default) or the 64-bit flavour (amd64). Each reads the registry in
its own view, the 32-bit exe the 32-bit one (on 64-bit Windows the keys under
Wow6432Node), the 64-bit exe the 64-bit one: the values it reads must be
written there. The 64-bit exe skips the updater phase, so for it the updater
package need only be there and sound.

What cannot be checked from a package's tables is said in every report: what
the wait step does (its code is in the package's custom-action library), the
InstallStatus routines and the follow-up installs of the user-interface
sequence.
"""
import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile

# The constants of the build profile (src/driver/build_profile.cpp) that the
# packages must match; check_profile() makes sure they still do.
VERSION = "1.6.0_39"
VERSION_PIECES = ("1", "6", "0", "39")
KIT_KEY = "SOFTWARE\\Morvanta\\Vesk Development Kit\\1.6.0_39"
UPDATER_VERSION = "2.0.7.2"
UPDATER_PRODUCT_CODE = "{5C2E81A0-7B3D-4F19-9A64-2D8E0C7B1F35}"
PROFILE_SOURCE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "src", "driver",
                              "build_profile.cpp")

MAIN_PACKAGE = "qmb" + VERSION + ".msi"
# The kit's media disks in order, by the two-letter prefix of each cabinet.
DISK_PREFIXES = ("sj", "sb", "ss", "st", "sp", "sz", "sr")
CABINETS = tuple(p + "".join(VERSION_PIECES) + "0.cab" for p in DISK_PREFIXES)
UPDATER_PACKAGE = "au.msi"
UPDATER_CABINET = "au.cab"
PAYLOAD_FILES = (MAIN_PACKAGE,) + CABINETS + (UPDATER_PACKAGE, UPDATER_CABINET)

FEATURES = ("PubliczlpFeature", "ToolsFeature")
READY_EVENT = "QorQMBCabExtractWaitEvent"
TRANSFORMS = ("1041", "2052")
TRANSFORM_CLASS = "{000C1082-0000-0000-C000-000000000046}"
FOLLOW_UP_FILES = ("zlp.msi", "zlp1041.MST", "zlp2052.MST", "veskdb.msi")
UPDATER_KEY = "SOFTWARE\\Morvanta\\Auto Update"
REGISTRATION_TOOL = ("CommonFilesFolder", "Vesk", "Vesk Update", "kwinpo.exe")

# The flavours and the registry view each reads. A component writes its
# registry values into the 64-bit view only when it carries
# msidbComponentAttributes64bit, which only a 64-bit package (its template's
# platform x64) may hold; any other component's values go to the 32-bit view.
FLAVOURS = {"i586": "32-bit", "amd64": "64-bit"}
COMPONENT_64BIT = 0x100
X64_PLATFORMS = ("x64", "amd64")

NOT_CHECKED = (
    "Not checked, because a package's tables do not show it: what the wait step does with the event "
    "its code names (create or open QorQMBCabExtractWaitEvent, manual reset, wait at most 15 minutes, "
    "then go on either way) and what the routines writing InstallStatus do are custom-action code; "
    "the follow-up installs that the user-interface sequence starts are the package's own business. "
    "Test them by installing the exe.")


class ToolError(Exception):
    """The check itself cannot run."""


class Finding:
    def __init__(self, rule, file, where, expected, found, mend):
        self.rule, self.file, self.where = rule, file, where
        self.expected, self.found, self.mend = expected, found, mend

    def text(self):
        return ("[%s] %s, %s: expected %s; found %s.\n    mend: %s"
                % (self.rule, self.file, self.where, self.expected, self.found, self.mend))


def run(args, text=True):
    try:
        return subprocess.run(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=text,
                              errors="replace" if text else None)
    except FileNotFoundError:
        raise ToolError("%s is not installed (scripts/install-deps.sh installs it)" % args[0])


def check_profile():
    """The constants above must be the build profile's."""
    with open(PROFILE_SOURCE, encoding="utf-8") as f:
        source = f.read()
    for value in (VERSION, KIT_KEY, UPDATER_VERSION, UPDATER_PRODUCT_CODE) + VERSION_PIECES:
        literal = '"%s"' % value.replace("\\", "\\\\")
        if literal not in source:
            raise ToolError("the build profile (%s) no longer holds %s: update the constants of %s"
                            % (PROFILE_SOURCE, literal, __file__))


# ---------------------------------------------------------------- reading


class Package:
    """A Windows Installer database as msiinfo shows it."""

    def __init__(self, path):
        self.path = path
        self.name = os.path.basename(path)
        result = run(["msiinfo", "tables", path])
        if result.returncode != 0:
            raise ValueError((result.stderr or result.stdout).strip().splitlines()[-1:] or ["unreadable"])
        self.tables = set(result.stdout.split())
        self._cache = {}

    def rows(self, table):
        """The rows of a table as dicts of column texts; [] for no table."""
        if table not in self._cache:
            rows = []
            if table in self.tables:
                result = run(["msiinfo", "export", self.path, table])
                if result.returncode != 0:
                    raise ValueError(["cannot export table %s: %s" % (table, result.stderr.strip())])
                lines = result.stdout.split("\r\n" if "\r\n" in result.stdout else "\n")
                columns = lines[0].split("\t")
                rows = [dict(zip(columns, line.split("\t"))) for line in lines[3:] if line]
            self._cache[table] = rows
        return self._cache[table]

    def property(self, name):
        for row in self.rows("Property"):
            if row["Property"] == name:
                return row["Value"]
        return None

    def streams(self):
        return set(run(["msiinfo", "streams", self.path]).stdout.split())

    def stream(self, name):
        """The bytes of a stream (a Binary row's data is "Binary.<Name>"), or
        None when there is no such stream."""
        result = run(["msiinfo", "extract", self.path, name], text=False)
        return result.stdout if result.returncode == 0 else None

    def template(self):
        """The summary information's template, "<platform>;<languages>"."""
        for line in run(["msiinfo", "suminfo", self.path]).stdout.splitlines():
            if line.startswith("Template:"):
                return line[len("Template:"):].strip()
        return ""


def long_name(text):
    """The long form of a "short|long" file or folder name."""
    return text.split("|")[-1]


def cabinet_members(path, scratch):
    """{member name: size} of a valid cabinet, or an error text. Validity is
    what gcab finds when it extracts every member (the data checksums and the
    compressed streams), into a private scratch folder, without paths."""
    out = tempfile.mkdtemp(dir=scratch)
    try:
        result = run(["gcab", "-x", "-n", "-C", out, path])
        if result.returncode != 0:
            return (result.stderr or result.stdout).strip() or "gcab could not extract it"
        listing = run(["gcab", "-l", path])
        members = {}
        for line in listing.stdout.splitlines():
            # name size date time attributes; a name may hold blanks.
            fields = line.rsplit(None, 4)
            if len(fields) == 5:
                members[fields[0]] = int(fields[1])
        return members
    finally:
        shutil.rmtree(out, ignore_errors=True)


def wine_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def run_wine(args, wineprefix, scratch, timeout=300, loader="wine"):
    """Runs a Windows program under Wine (started by `loader`: wine, or
    wine64 for a 64-bit program) and returns (status, stdout, stderr) as
    bytes. The output goes through files in scratch: Wine's services,
    started by the first program of a prefix, inherit the program's output
    and stay after it ends (for good under a persistent server), so a pipe
    would not be closed when the program is done."""
    env = dict(os.environ, WINEPREFIX=os.path.abspath(wineprefix), WINEDEBUG="-all",
               WINEDLLOVERRIDES="mscoree,mshtml=")
    env.pop("DISPLAY", None)
    with tempfile.TemporaryFile(dir=scratch) as out, tempfile.TemporaryFile(dir=scratch) as err:
        try:
            status = subprocess.run([loader] + list(args), stdin=subprocess.DEVNULL, stdout=out, stderr=err,
                                    env=env, timeout=timeout).returncode
        except FileNotFoundError:
            raise ToolError("%s is not installed (scripts/install-deps.sh installs it)" % loader)
        except subprocess.TimeoutExpired:
            raise ToolError("%s did not finish within %d s under Wine" % (os.path.basename(args[0]), timeout))
        out.seek(0)
        err.seek(0)
        return status, out.read(), err.read()


def embedded_transforms(package_path, helper, wineprefix, scratch, loader="wine"):
    """{name: {fact: value}} as msiembedded.exe reports them under Wine."""
    status, out, err = run_wine([helper, wine_path(package_path), wine_path(scratch)] + list(TRANSFORMS),
                                wineprefix, scratch, loader=loader)
    if status != 0:
        raise ToolError("msiembedded.exe failed under Wine (%d): %s"
                        % (status, err.decode("utf-8", "replace").strip()))
    facts = {name: {} for name in TRANSFORMS}
    for line in out.decode("utf-8", "replace").splitlines():
        parts = line.rstrip("\r").split("\t", 2)
        if len(parts) == 3 and parts[0] in facts:
            facts[parts[0]][parts[1]] = parts[2]
    return facts


# ---------------------------------------------------------------- rules


def version_parts(text):
    """major, minor, update (the installer ignores a fourth field)."""
    parts = []
    for piece in (text or "").split(".")[:3]:
        digits = re.match(r"\d*", piece).group()
        parts.append(int(digits) if digits else 0)
    return tuple(parts + [0] * (3 - len(parts)))


# The validation conditions of a transform, as MsiCreateTransformSummaryInfo
# documents them; the summary keeps them in the upper word of its character
# count (the lower word holds the error conditions to suppress).
VALIDATE_LANGUAGE, VALIDATE_PRODUCT, VALIDATE_PLATFORM, VALIDATE_UPGRADE_CODE = 0x1, 0x2, 0x4, 0x800
VALIDATE_PARTS = ((0x20, 3, "major, minor and update"), (0x10, 2, "major and minor"), (0x8, 1, "major"))
VALIDATE_ORDER = ((0x40, "lower than", lambda a, b: a < b), (0x80, "at most", lambda a, b: a <= b),
                  (0x100, "equal to", lambda a, b: a == b), (0x200, "at least", lambda a, b: a >= b),
                  (0x400, "higher than", lambda a, b: a > b))


def validation_refusals(fact, package):
    """The conditions of a transform's validation flags that the package
    does not meet, as one text in a list ([] when it meets them): what makes the installer refuse the transform
    when it applies it at install time (MsiDatabaseApplyTransform does not
    validate, so the helper's "apply" does not show it)."""
    try:
        flags = (int(fact.get("validation") or 0) & 0xFFFFFFFF) >> 16
    except ValueError:
        return ["an unreadable character count %r in its summary" % fact.get("validation")]
    described = re.match(r"(\{[^}]*\})([^;]*);(\{[^}]*\})([^;]*);(\{[^}]*\})", fact.get("revision", ""))
    if flags and not described:
        return ["the revision number does not give the base product, version and upgrade code"]
    refusals = []
    template = fact.get("template", "")
    platform, _, language = template.partition(";")
    package_platform, _, package_languages = package.template().partition(";")
    if flags & VALIDATE_LANGUAGE and language and language not in (
            package_languages.split(",") + [package.property("ProductLanguage")]):
        refusals.append("the language %s must be the package's (%s)" % (language, package.property("ProductLanguage")))
    if flags & VALIDATE_PRODUCT and described.group(1).upper() != (package.property("ProductCode") or "").upper():
        refusals.append("the product code %s must be the package's" % described.group(1))
    if flags & VALIDATE_PLATFORM and platform.lower() != package_platform.lower():
        refusals.append("the platform %s must be the package's (%s)" % (platform, package_platform))
    if flags & VALIDATE_UPGRADE_CODE and described.group(5).upper() != (package.property("UpgradeCode") or "").upper():
        refusals.append("the upgrade code %s must be the package's (%s)"
                        % (described.group(5), package.property("UpgradeCode")))
    for bit, count, what in VALIDATE_PARTS:
        if flags & bit:
            order = next((o for o in VALIDATE_ORDER if flags & o[0]), VALIDATE_ORDER[2])
            installed = version_parts(package.property("ProductVersion"))[:count]
            base = version_parts(described.group(2))[:count]
            if not order[2](installed, base):
                refusals.append("the package's version %s must be %s the base version %s (%s)"
                                % (package.property("ProductVersion"), order[1], described.group(2), what))
            break
    return ["the validation conditions 0x%04x, which this package does not meet: %s"
            % (flags, "; ".join(refusals))] if refusals else []


class Check:
    def __init__(self, folder, helper, wineprefix, scratch, no_wine=None, flavour="i586", loader="wine"):
        """no_wine: why Wine cannot run here; the transforms are then left
        out with a note instead of a finding. flavour: the exe's, i586 or
        amd64; loader: the Wine loader that runs the helper."""
        self.folder, self.helper, self.wineprefix, self.scratch = folder, helper, wineprefix, scratch
        self.no_wine = no_wine
        self.flavour, self.loader = flavour, loader
        self.findings = []
        self.notes = []

    def add(self, rule, file, where, expected, found, mend):
        self.findings.append(Finding(rule, file, where, expected, found, mend))

    def path(self, name):
        return os.path.join(self.folder, name)

    def open_package(self, name):
        path = self.path(name)
        if not os.path.isfile(path):
            self.add("files", name, "the file", "the package in the payload folder", "no such file",
                     "put the package into %s under this name" % self.folder)
            return None
        try:
            return Package(path)
        except ValueError as e:
            self.add("files", name, "the file", "a Windows Installer database that msiinfo can read",
                     "msiinfo: %s" % " ".join(e.args[0]),
                     "build the package anew; none of its items could be checked")
            return None

    def run(self):
        kit = self.open_package(MAIN_PACKAGE)
        if kit:
            disks = self.media(kit)
            self.kit_cabinets(kit, disks)
            self.features(kit)
            self.transforms(kit)
            self.wait_step(kit)
            self.kit_folder(kit)
        else:
            for cabinet in CABINETS:
                self.cabinet(None, cabinet, set(), {})
        updater = self.open_package(UPDATER_PACKAGE)
        if self.flavour == "amd64":
            self.unused_updater(updater)
        else:
            self.updater(updater)
        return self.findings

    # The media table: seven external cabinets, one per disk, in disk order.
    def media(self, kit):
        rows = {}
        for row in kit.rows("Media"):
            rows[int(row["DiskId"])] = row
        disks = {}
        for disk, cabinet in enumerate(CABINETS, start=1):
            row = rows.pop(disk, None)
            where = "table Media, row DiskId %d" % disk
            if row is None:
                self.add("media", MAIN_PACKAGE, where, 'a row naming the cabinet "%s"' % cabinet, "no such row",
                         "add the row (DiskId %d, its LastSequence, Cabinet %s)" % (disk, cabinet))
                continue
            name = row["Cabinet"]
            if name.startswith("#"):
                self.add("media", MAIN_PACKAGE, where, 'Cabinet "%s", an external file' % cabinet,
                         '"%s", a cabinet stored inside the package' % name,
                         "keep the cabinet out of the package (WiX: EmbedCab=\"no\") under the name %s" % cabinet)
            elif name.lower() != cabinet:  # a file name, which Windows compares without case
                self.add("media", MAIN_PACKAGE, where, 'Cabinet "%s"' % cabinet, '"%s"' % name,
                         "the disks must be, in order: %s" % ", ".join(CABINETS))
            disks[disk] = int(row["LastSequence"])
        for disk, row in sorted(rows.items()):
            self.add("media", MAIN_PACKAGE, "table Media, row DiskId %d" % disk, "seven disks, 1 to 7",
                     'another disk, Cabinet "%s"' % row["Cabinet"],
                     "remove the row; the bootstrapper writes only the seven cabinets %s" % ", ".join(CABINETS))
        return disks

    # Each disk's cabinet holds exactly the files whose sequence falls in it.
    def kit_cabinets(self, kit, disks):
        files = kit.rows("File")
        previous = 0
        for disk, cabinet in enumerate(CABINETS, start=1):
            if disk not in disks:
                self.cabinet(kit, cabinet, None, {})
                continue
            last = disks[disk]
            wanted = {r["File"]: int(r["FileSize"]) for r in files if previous < int(r["Sequence"]) <= last}
            self.cabinet(kit, cabinet, "disk %d (sequences %d to %d)" % (disk, previous + 1, last), wanted)
            previous = max(previous, last)
        beyond = sorted(r["File"] for r in files if int(r["Sequence"]) > previous)
        if beyond:
            self.add("cabinets", MAIN_PACKAGE, "table File, rows %s" % ", ".join(beyond),
                     "every file on one of the seven disks (sequence at most %d)" % previous,
                     "files with a higher sequence, in no cabinet",
                     "raise the last disk's LastSequence or renumber the files")

    def cabinet(self, package, name, disk, wanted):
        """`disk` describes the disk the cabinet holds; None when it is not
        known (then only the cabinet's validity is checked)."""
        path = self.path(name)
        if not os.path.isfile(path):
            self.add("files", name, "the file", "the cabinet in the payload folder", "no such file",
                     "put the cabinet into %s under this name" % self.folder)
            return
        members = cabinet_members(path, self.scratch)
        if isinstance(members, str):
            self.add("cabinets", name, "the cabinet", "a valid cabinet", "gcab: %s" % members,
                     "make the cabinet anew")
            return
        if disk is None:
            return
        owner = "%s %s" % (package.name, disk)
        for member in sorted(set(wanted) - set(members)):
            self.add("cabinets", name, "member %s" % member, "the file %s of %s" % (member, owner),
                     "no such member", "make the cabinet from the package's files of that disk, each named by "
                                       "its File key")
        for member in sorted(set(members) - set(wanted)):
            self.add("cabinets", name, "member %s" % member, "only the files of %s" % owner,
                     "a member that is no file of that disk",
                     "leave it out, or give it a File row with a sequence in that disk")
        for member in sorted(set(members) & set(wanted)):
            if members[member] != wanted[member]:
                self.add("cabinets", name, "member %s" % member,
                         "%d bytes (FileSize in table File)" % wanted[member], "%d bytes" % members[member],
                         "the cabinet and the package were made from different files: make them anew together")

    def features(self, kit):
        have = {row["Feature"] for row in kit.rows("Feature")}
        for feature in FEATURES:
            if feature not in have:
                self.add("features", MAIN_PACKAGE, "table Feature, row %s" % feature,
                         "the feature %s (the silent install passes ADDLOCAL=%s)" % (feature, ",".join(FEATURES)),
                         "no such feature (features: %s)" % ", ".join(sorted(have)),
                         "add the feature %s, named exactly so (case matters)" % feature)

    def transforms(self, kit):
        where_all = "embedded transforms %s" % " and ".join(TRANSFORMS)
        if self.no_wine:
            self.notes.append("the %s were not checked: Wine cannot run here (%s), and only Wine's Windows "
                              "Installer opens them on this machine. Every other rule was checked; check the "
                              "transforms where Wine runs (scripts/check-payload.sh)." % (where_all, self.no_wine))
            return
        if not self.helper:
            self.add("transforms", MAIN_PACKAGE, where_all, "checked sub-storages",
                     "not checked: no Wine helper was given",
                     "run the check through scripts/check-payload.sh, which builds msiembedded.exe and runs it "
                     "under Wine")
            return
        facts = embedded_transforms(kit.path, self.helper, self.wineprefix, self.scratch, self.loader)
        streams = kit.streams()
        code = kit.property("ProductCode")
        for name in TRANSFORMS:
            fact = facts[name]
            where = "sub-storage %s (TRANSFORMS=:%s)" % (name, name)
            expected = "an embedded transform of this package (%s)" % code
            if fact.get("storage") != "present":
                found = "no sub-storage of that name"
                mend = ("embed the transform as a sub-storage through the _Storages table (tools/msitransform's "
                        "msiembed.exe), as the package's last change")
                if name in streams:
                    found = "a stream named %s, not a sub-storage (msibuild -a makes such a stream)" % name
                self.add("transforms", MAIN_PACKAGE, where, expected, found, mend)
                continue
            if fact.get("class") != TRANSFORM_CLASS:
                self.add("transforms", MAIN_PACKAGE, where, "a storage of the transform class %s" % TRANSFORM_CLASS,
                         "the class %s" % fact.get("class", "(unreadable)"),
                         "embed a transform file (.mst), not another compound file")
                continue
            revision = fact.get("revision", "")
            base = re.match(r"(\{[0-9A-Fa-f-]{36}\})", revision)
            if fact.get("summary") != "0" or not fact.get("template") or not base:
                self.add("transforms", MAIN_PACKAGE, where,
                         "summary information with a template and a revision number naming the base product",
                         "summary %s, template \"%s\", revision \"%s\" (the installer skips such a transform "
                         "without a word)" % (fact.get("summary", "unreadable"), fact.get("template", ""), revision),
                         "generate the transform with a tool that writes its summary information")
                continue
            if code is None or base.group(1).upper() != code.upper():
                self.add("transforms", MAIN_PACKAGE, where, expected,
                         "a transform of the product %s" % base.group(1),
                         "generate the transform from this package (its base must be this package)")
                continue
            refusals = validation_refusals(fact, kit)
            if refusals:
                self.add("transforms", MAIN_PACKAGE, where,
                         "a transform whose validation conditions this package meets (the installer refuses any "
                         "other, and the install fails)", "; ".join(refusals),
                         "generate the transform from this build of the package, or without those conditions")
                continue
            if fact.get("apply") != "0":
                self.add("transforms", MAIN_PACKAGE, where, "a transform that applies to this package",
                         "MsiDatabaseApplyTransform failed with %s (a package rewritten after embedding, e.g. by "
                         "msibuild, keeps the name but breaks the storage)" % fact.get("apply", "no result"),
                         "embed the transforms again as the package's last change")

    # The wait step: a custom action conditioned on WRAPPER, right after the
    # first dialog of the user-interface sequence (before any other dialog
    # and before ExecuteAction), and before costing in the execute sequence;
    # run synchronously, with code that names the ready event.
    def wait_step(self, kit):
        actions = {row["Action"]: row for row in kit.rows("CustomAction")}
        dialogs = {row["Dialog"] for row in kit.rows("Dialog")}
        verdicts = {}
        for table in ("InstallUISequence", "InstallExecuteSequence"):
            steps = [(int(r["Sequence"]), r["Action"], r["Condition"]) for r in kit.rows(table)
                     if r["Sequence"] not in ("", None)]
            at = {action: sequence for sequence, action, _ in steps}
            waits = [(s, a) for s, a, c in steps if a in actions and s > 0 and re.search(r"\bWRAPPER\b", c)]
            if table == "InstallUISequence":
                shown = sorted(s for s, a, _ in steps if a in dialogs and s > 0)
                after = shown[0] if shown else 0
                before = min(shown[1:] + [at.get("ExecuteAction", 1 << 30)])
                place = ("after the first dialog (sequence %d) and before any other dialog and ExecuteAction "
                         "(sequence %d)" % (after, before) if shown else
                         "before ExecuteAction (sequence %d), as the package shows no dialog" % before)
            else:
                after = 0
                before = at.get("CostInitialize", at.get("InstallFiles", 1 << 30))
                place = "among the first steps, before CostInitialize (sequence %d)" % before
            where = "table %s" % table
            placed = [a for s, a in waits if after < s < before]
            if not waits:
                self.add("wait", MAIN_PACKAGE, where, "a custom action conditioned on WRAPPER (the wait for the "
                         "bootstrapper's cabinets), scheduled %s" % place, "no custom action conditioned on WRAPPER",
                         "schedule the wait step there, a custom action whose condition names WRAPPER (for "
                         "instance WRAPPER = 1 AND NOT Installed%s)"
                         % (" AND UILevel = 2" if table == "InstallExecuteSequence" else ""))
                continue
            if not placed:
                self.add("wait", MAIN_PACKAGE, "%s, row %s" % (where, waits[0][1]),
                         "the wait step scheduled %s" % place,
                         "sequence %s" % ", ".join(str(s) for s, _ in waits),
                         "give it a sequence number in that range; later, the installer may read cabinets that "
                         "are still being written")
                continue
            # msidbCustomActionTypeAsync: the installer starts the action and
            # goes on (asyncNoWait), or waits for it only at the end of the
            # sequence (asyncWait); either way it reads the cabinets meanwhile.
            waited = [a for a in placed if not int(actions[a]["Type"]) & 0x80]
            if not waited:
                row = actions[placed[0]]
                self.add("wait", MAIN_PACKAGE, "table CustomAction, row %s" % row["Action"],
                         "a wait step that the installer waits for: a custom action type without the bit 0x80 "
                         "(asynchronous)", "type %s, an asynchronous action" % row["Type"],
                         "run it synchronously (WiX: Return=\"check\" or \"ignore\", not asyncWait or asyncNoWait)")
                continue
            for action in waited:
                if action not in verdicts:
                    verdicts[action] = self.wait_code(kit, actions[action])
            if not any(verdicts[a] is None for a in waited):
                self.add("event", MAIN_PACKAGE, "table CustomAction, row %s" % waited[0],
                         "the wait step's code naming the event %s (as ANSI or UTF-16LE text)" % READY_EVENT,
                         verdicts[waited[0]],
                         "wait on the event named exactly %s (case matters): the bootstrapper sets that one"
                         % READY_EVENT)

    def wait_code(self, kit, action):
        """None when the custom action's code names the ready event, else
        what was found instead."""
        kind, source = int(action["Type"]) & 0x07, int(action["Type"]) & 0x30
        if source == 0x00 and kind in (1, 2, 5, 6):  # a DLL, EXE or script in the Binary table
            data = kit.stream("Binary." + action["Source"])
            if data is None:
                return "no Binary row %s holding its code" % action["Source"]
            where = "the Binary row %s" % action["Source"]
        elif source == 0x20 and kind in (5, 6):  # script text in the Target column
            data = action["Target"].encode("utf-8", "replace")
            where = "its script text"
        elif source == 0x10:  # a file the package installs: not there before the cabinets are read
            return "type %s: code from a file the package installs, which is not there yet" % action["Type"]
        else:
            self.notes.append("the wait step %s (type %s) runs code from outside the package: whether it waits "
                              "on %s was not checked" % (action["Action"], action["Type"], READY_EVENT))
            return None
        if READY_EVENT.encode("ascii") in data or READY_EVENT.encode("utf-16-le") in data:
            return None
        return "no such text in %s" % where

    # VeskHome names the folder into which the four follow-up files go.
    def kit_folder(self, kit):
        components = {r["Component"]: r["Directory_"] for r in kit.rows("Component")}
        per_machine = kit.property("ALLUSERS") == "1"
        home = [r for r in kit.rows("Registry")
                if r["Name"] == "VeskHome" and r["Key"].rstrip("\\").lower() == KIT_KEY.lower()
                and (r["Root"] == "2" or (r["Root"] == "-1" and per_machine))]
        folder = None
        if not home:
            self.add("kit-folder", MAIN_PACKAGE, "table Registry",
                     "a value VeskHome under HKLM\\%s holding the kit's folder, e.g. [INSTALLDIR]" % KIT_KEY,
                     "no such row", "add it: Root 2, Key %s, Name VeskHome, Value [<the folder's Directory key>]"
                     % KIT_KEY)
        else:
            value = home[0]["Value"]
            match = re.fullmatch(r"\[([A-Za-z_][A-Za-z0-9_.]*)\]", value)
            if not match:
                self.add("kit-folder", MAIN_PACKAGE, "table Registry, row %s" % home[0]["Registry"],
                         "VeskHome = [<Directory key>], the kit's folder", '"%s"' % value,
                         "record the folder as [<its Directory key>]")
            else:
                folder = match.group(1)
            self.silently_installed(kit, home[0])
            self.registry_view(kit, home[0])
        files = {long_name(r["FileName"]).lower(): r for r in kit.rows("File")}
        for name in FOLLOW_UP_FILES:
            row = files.get(name.lower())
            if row is None:
                self.add("kit-folder", MAIN_PACKAGE, "table File", "the file %s" % name, "no such file",
                         "install %s into the kit's folder (silent installs start it from there)" % name)
            elif folder and components.get(row["Component_"]) != folder:
                self.add("kit-folder", MAIN_PACKAGE, "table File, row %s" % row["File"],
                         "%s installed into [%s], the folder VeskHome names" % (name, folder),
                         "the folder [%s] (component %s)" % (components.get(row["Component_"]), row["Component_"]),
                         "put its component into the directory %s" % folder)

    def silently_installed(self, kit, row):
        """The component that writes VeskHome belongs to a feature that a
        silent run installs: one that ADDLOCAL names or a parent of one (the
        installer installs a feature's parents with it)."""
        parents = {r["Feature"]: r["Feature_Parent"] for r in kit.rows("Feature")}
        installed = set()
        for feature in FEATURES:
            while feature and feature not in installed and len(installed) < 64:
                installed.add(feature)
                feature = parents.get(feature)
        component = row["Component_"]
        features = sorted(r["Feature_"] for r in kit.rows("FeatureComponents") if r["Component_"] == component)
        if not installed & set(features):
            self.add("kit-folder", MAIN_PACKAGE, "table FeatureComponents, component %s" % component,
                     "the component %s (it writes VeskHome) in %s, which a silent run installs (ADDLOCAL=%s)"
                     % (component, " or ".join(FEATURES), ",".join(FEATURES)),
                     "only in %s" % ", ".join(features) if features else "in no feature",
                     "add the row (%s, %s) to FeatureComponents: without it /s never writes VeskHome and the "
                     "follow-up packages are not installed" % (FEATURES[0], component))

    def registry_view(self, package, row):
        """The component writing a value the exe reads writes it in the
        exe's registry view."""
        view = FLAVOURS[self.flavour]
        attributes = {r["Component"]: int(r["Attributes"] or 0) for r in package.rows("Component")}
        component = row["Component_"]
        wide = bool(attributes.get(component, 0) & COMPONENT_64BIT)
        where = "table Component, row %s (it writes %s)" % (component, row["Name"])
        if wide != (view == "64-bit"):
            self.add("view", package.name, where,
                     "a %s component, so that the value lands in the %s registry view, which the %s exe reads"
                     % (view, view, view),
                     "a %s component (attributes %d)" % ("64-bit" if wide else "32-bit", attributes.get(component, 0)),
                     "build the package for the %s exe: %s" % (view, "a 64-bit package (template x64) whose component "
                                                                "has the 64-bit attribute 0x100 (WiX: Win64=\"yes\")"
                                                                if view == "64-bit" else
                                                                "a component without the 64-bit attribute 0x100 "
                                                                "(WiX: Win64=\"no\")"))
        platform = package.template().partition(";")[0]
        if wide and platform.lower() not in X64_PLATFORMS:
            self.add("view", package.name, "summary information, template",
                     "a 64-bit package (template x64), the only kind that may hold 64-bit components",
                     "the platform \"%s\"" % platform, "build the package for x64 (wixl -a x64, WiX -arch x64)")

    def unused_updater(self, package):
        """The 64-bit exe embeds the updater package but never writes or
        installs it: it need only be there and sound."""
        self.notes.append("the 64-bit exe skips the updater phase: %s and %s were checked only to be there and sound"
                          % (UPDATER_PACKAGE, UPDATER_CABINET))
        wanted = {r["File"]: int(r["FileSize"]) for r in package.rows("File")} if package else {}
        self.cabinet(package, UPDATER_CABINET, "(its one disk)" if package else None, wanted)

    def updater(self, package):
        if package is None:
            self.cabinet(None, UPDATER_CABINET, None, {})
            return
        for name, expected in (("ProductCode", UPDATER_PRODUCT_CODE), ("ProductVersion", UPDATER_VERSION)):
            value = package.property(name)
            if value != expected:
                self.add("updater", UPDATER_PACKAGE, "table Property, row %s" % name, expected,
                         "no such property" if value is None else value,
                         "the bootstrapper compares the installed updater with %s and removes the product %s: "
                         "build the updater with exactly these" % (UPDATER_VERSION, UPDATER_PRODUCT_CODE))
        media = package.rows("Media")
        names = [r["Cabinet"] for r in media]
        if [n.lower() for n in names] != [UPDATER_CABINET]:
            self.add("updater", UPDATER_PACKAGE, "table Media", 'one row naming the external cabinet "%s"'
                     % UPDATER_CABINET, ", ".join('"%s"' % n for n in names) or "no row",
                     "name one external cabinet, au.cab (the bootstrapper writes it beside the package)")
        wanted = {r["File"]: int(r["FileSize"]) for r in package.rows("File")}
        self.cabinet(package, UPDATER_CABINET, "(its one disk)", wanted)
        versions = [r for r in package.rows("Registry")
                    if r["Name"] == "AUVersion" and r["Key"].rstrip("\\").lower() == UPDATER_KEY.lower()]
        if not versions:
            self.add("updater", UPDATER_PACKAGE, "table Registry",
                     "a value AUVersion under HKLM\\%s holding [ProductVersion]" % UPDATER_KEY, "no such row",
                     "record it: the bootstrapper reads it to tell which updater is installed")
        # Root -1 is HKLM in a per-machine install, which the bootstrapper's
        # ALLUSERS=1 makes it.
        elif not any(r["Root"] in ("2", "-1") and r["Value"] in ("[ProductVersion]", package.property("ProductVersion"))
                     for r in versions):
            row = versions[0]
            self.add("updater", UPDATER_PACKAGE, "table Registry, row %s" % row["Registry"],
                     "AUVersion under HKLM (Root 2, or -1 in the per-machine install) holding the package's "
                     "version, [ProductVersion]", "Root %s, Value \"%s\"" % (row["Root"], row["Value"]),
                     "record it as Root 2, Value [ProductVersion]: the bootstrapper reads it from HKLM and compares "
                     "it with %s" % UPDATER_VERSION)
        if versions:
            self.registry_view(package, versions[0])
        directories = {r["Directory"]: r for r in package.rows("Directory")}
        components = {r["Component"]: r["Directory_"] for r in package.rows("Component")}
        paths = []
        for row in package.rows("File"):
            path = [long_name(row["FileName"])]
            folder = components.get(row["Component_"])
            while folder in directories and folder != "CommonFilesFolder" and len(path) < 64:
                target = long_name(directories[folder]["DefaultDir"].split(":")[0])
                if target != ".":
                    path.insert(0, target)
                folder = directories[folder]["Directory_Parent"]
            path.insert(0, folder)
            paths.append(tuple(path))
        if REGISTRATION_TOOL not in paths:
            self.add("updater", UPDATER_PACKAGE, "table File", "the registration tool [%s]%s"
                     % (REGISTRATION_TOOL[0], "\\".join(REGISTRATION_TOOL[1:])), "no such file",
                     "install kwinpo.exe there: the bootstrapper runs it to register the runtime")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("payload_dir")
    parser.add_argument("--helper", help="msiembedded.exe, run under Wine to look at the embedded transforms")
    parser.add_argument("--wineprefix", help="the Wine prefix to run it in")
    parser.add_argument("--wine", default="wine", help="the Wine loader that runs it (wine64 for a 64-bit helper)")
    parser.add_argument("--flavour", choices=sorted(FLAVOURS), default="i586",
                        help="the exe that carries the payload: the 32-bit product (i586) or the 64-bit flavour")
    parser.add_argument("--no-wine", metavar="REASON",
                        help="Wine cannot run here (REASON): leave the embedded transforms out, with a note")
    parser.add_argument("--warn-only", action="store_true", help="report the findings but pass")
    parser.add_argument("--stamp", help="file written when there is no finding")
    opts = parser.parse_args()
    if opts.helper and not opts.wineprefix:
        parser.error("--helper needs --wineprefix")
    if opts.helper and opts.no_wine:
        parser.error("--helper and --no-wine exclude each other")
    if not os.path.isdir(opts.payload_dir):
        sys.stderr.write("payload_contract: no folder %s\n" % opts.payload_dir)
        return 2
    if opts.stamp and os.path.exists(opts.stamp):
        os.remove(opts.stamp)

    scratch = tempfile.mkdtemp(prefix="qmb-contract-")
    try:
        check_profile()
        check = Check(opts.payload_dir, opts.helper, opts.wineprefix, scratch, opts.no_wine, opts.flavour, opts.wine)
        findings = check.run()
    except ToolError as e:
        sys.stderr.write("payload_contract: the check could not run: %s\n" % e)
        return 2
    finally:
        shutil.rmtree(scratch, ignore_errors=True)

    out = sys.stderr if findings else sys.stdout
    out.write("Contract check of the payload in %s, for the %s exe\n" % (opts.payload_dir, FLAVOURS[opts.flavour]))
    for finding in findings:
        out.write(finding.text() + "\n")
    for note in check.notes:
        out.write("note: %s\n" % note)
    out.write(NOT_CHECKED + "\n")
    if not findings:
        out.write("The payload keeps the contract.\n")
        if opts.stamp:
            with open(opts.stamp, "w") as f:
                f.write("checked\n")
        return 0
    out.write("%d finding%s. %s\n" % (len(findings), "" if len(findings) == 1 else "s",
              "Reported as warnings only (QMB_PAYLOAD_CONTRACT_WARNINGS)." if opts.warn_only else
              "Mend them, or build with -DQMB_PAYLOAD_CONTRACT_WARNINGS=ON to report them as warnings."))
    return 0 if opts.warn_only else 1


if __name__ == "__main__":
    sys.exit(main())
