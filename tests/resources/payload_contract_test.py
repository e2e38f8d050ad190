#!/usr/bin/env python3
"""Runs the payload contract check (scripts/payload_contract.py) on the
sample payload, which must pass, and on copies of it that each break one
rule of the contract, made here with msibuild, gcab and the transform tools;
each must give the findings of that rule and no other.

  payload_contract_test.py --payload-dir DIR --parts DIR --helper msiembedded.exe
                           --msiembed msiembed.exe --msitransform msitransform.exe
                           --wineprefix DIR --work-dir DIR --build-dir DIR
                           [--flavour i586|amd64] [--wine LOADER]

--build-dir is the windows build folder that scripts/check-payload.sh uses,
--flavour the exe's that the payload was built for, --wine the Wine loader
that runs the build's programs (wine64 for the 64-bit flavour's).
--parts is the sample packages' build folder: the kit package before its
transforms were embedded (kit-1033.msi) and its Japanese build (kit-1041.msi),
the two transforms, the runtime package's transform zlp2052.MST (a transform
of another product) and the archive unpacker unpack.exe (a program that does
not name the ready event).

Every row must end within a minute. The first runs scripts/check-payload.sh
with the prefix's server stopped, so that the check starts the server and
Wine's services itself; the second is the first Wine program under the
persistent server that the other rows share, whose services inherit its
output and never end: a check that read that output through a pipe would
wait for them.
"""
import argparse
import os
import re
import shutil
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "scripts"))
import payload_contract  # noqa: E402

CHECKER = payload_contract.__file__
SCRIPT = os.path.join(HERE, "..", "..", "scripts", "check-payload.sh")
KIT = "qmb1.6.0_39.msi"
OTHER_PRODUCT = "{00000000-1111-2222-3333-444444444444}"
# How a row runs the check: the checker with the helper (the default), or
# scripts/check-payload.sh given the folder relative to the work folder, with
# Wine (SCRIPT_RUN) or with a wine that fails as on a kernel that refuses
# 32-bit programs (NO_WINE), where only the transforms are left out.
SCRIPT_RUN, NO_WINE = "script", "script without Wine"
ROW_LIMIT = 60

opts = None


def run(args, **kwargs):
    result = subprocess.run(args, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, errors="replace",
                            **kwargs)
    if result.returncode != 0:
        raise RuntimeError("%s failed (%d):\n%s" % (" ".join(args), result.returncode, result.stdout))
    return result.stdout


def wine(*args):
    status, out, err = payload_contract.run_wine(args, opts.wineprefix, opts.work_dir, loader=opts.wine)
    if status != 0:
        raise RuntimeError("wine %s failed (%d):\n%s"
                           % (" ".join(args), status, (out + err).decode("utf-8", "replace")))


def win(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def msibuild(path, *queries):
    args = ["msibuild", path]
    for query in queries:
        args += ["-q", query]
    run(args)


def kit(*queries, transforms=(("1041", "kit-1041.mst"), ("2052", "kit-2052.mst")), streams=()):
    """A mutation: the kit package made anew from its parts, the queries
    applied and the streams (name, file of the parts) replaced before the
    transforms are embedded (embedding comes last)."""
    def mutate(folder):
        package = os.path.join(folder, KIT)
        os.remove(package)
        shutil.copyfile(os.path.join(opts.parts, "kit-1033.msi"), package)
        if queries:
            msibuild(package, *queries)
        for name, part in streams:
            run(["msibuild", package, "-a", name, os.path.join(opts.parts, part)])
        pairs = []
        for name, part in transforms:
            pairs += [name, win(os.path.join(opts.parts, part))]
        wine(opts.msiembed, win(package), *pairs)
    return mutate


def older_transform(folder):
    """The 1041 transform made from an older build of the same product
    (version 1.5.0.39), with the validation conditions a release tool
    writes: product, upgrade code, and major, minor and update version equal
    to the base's. Returns its path."""
    builds = []
    for part in ("kit-1033.msi", "kit-1041.msi"):
        build = os.path.join(folder, "older-" + part)
        shutil.copyfile(os.path.join(opts.parts, part), build)
        msibuild(build, "UPDATE Property SET Value='1.5.0.39' WHERE Property='ProductVersion'")
        builds.append(win(build))
    transform = os.path.join(folder, "older-1041.mst")
    wine(opts.msitransform, builds[0], builds[1], win(transform), "0x922")
    return transform


def updater(*queries):
    return lambda folder: msibuild(os.path.join(folder, "au.msi"), *queries)


def then(*mutations):
    def mutate(folder):
        for mutation in mutations:
            mutation(folder)
    return mutate


def remove(name):
    return lambda folder: os.remove(os.path.join(folder, name))


def damage(name):
    def mutate(folder):
        path = os.path.join(folder, name)
        with open(path, "r+b") as f:
            size = os.fstat(f.fileno()).st_size
            f.seek(size - 16)
            byte = f.read(1)
            f.seek(size - 16)
            f.write(bytes([byte[0] ^ 0xFF]))
    return mutate


def cabinet_of(name, member):
    """The cabinet made anew with one member named otherwise."""
    def mutate(folder):
        stage = os.path.join(folder, "stage")
        os.mkdir(stage)
        with open(os.path.join(stage, member), "w") as f:
            f.write("not the package's file\n")
        os.remove(os.path.join(folder, name))
        run(["gcab", "-c", "-n", os.path.abspath(os.path.join(folder, name)), member], cwd=stage)
        shutil.rmtree(stage)
    return mutate


def rows(flavour):
    """(case, mutation, the rules whose findings must appear, and only
    those[, how]) for the payload of the flavour's exe. The 64-bit exe
    reads the 64-bit registry view and never uses the updater package."""
    wide = flavour == "amd64"
    updater_rule = set() if wide else {"updater"}
    other_view = 4 if wide else 4 | payload_contract.COMPONENT_64BIT
    return COMMON_ROWS + [
        ("VeskHome in the other registry view",
         kit("UPDATE Component SET Attributes=%d WHERE Component='KitHome'" % other_view), {"view"}),
        ("the updater of another product",
         updater("UPDATE Property SET Value='%s' WHERE Property='ProductCode'" % OTHER_PRODUCT), updater_rule),
    ] + ([] if wide else [
        ("the updater of another version", updater("UPDATE Property SET Value='2.0.7.3' WHERE Property='ProductVersion'"),
         {"updater"}),
        ("the updater's cabinet named otherwise", updater("UPDATE Media SET Cabinet='au1.cab'"), {"updater"}),
        ("AUVersion under HKCU", updater("UPDATE Registry SET Root=1 WHERE Name='AUVersion'"), {"updater"}),
        ("AUVersion not the package's version", updater("UPDATE Registry SET Value='2.0.7.1' WHERE Name='AUVersion'"),
         {"updater"}),
        ("AUVersion in the 64-bit registry view",
         updater("UPDATE Component SET Attributes=%d WHERE Component='UpdaterVersion'" % other_view), {"view"}),
    ])


# (case, mutation, the rules whose findings must appear, and only those)
COMMON_ROWS = [
    ("the sample payload, from a stopped server", lambda folder: None, set(), SCRIPT_RUN),
    ("a cabinet missing (no Wine before the check)", remove("st160390.cab"), {"files"}),
    ("a cabinet stored inside the package", kit("UPDATE Media SET Cabinet='#sj160390.cab' WHERE DiskId=1"), {"media"}),
    ("two disks swapped", kit("UPDATE Media SET Cabinet='sb160390.cab' WHERE DiskId=1",
                              "UPDATE Media SET Cabinet='sj160390.cab' WHERE DiskId=2"), {"media"}),
    ("a cabinet holding another file", cabinet_of("sz160390.cab", "NOTICE.txt"), {"cabinets"}),
    ("a damaged cabinet", damage("sb160390.cab"), {"cabinets"}),
    ("a feature missing", kit("DELETE FROM Feature WHERE Feature='ToolsFeature'"),
     {"features"}),
    ("the transform 2052 missing", kit(transforms=(("1041", "kit-1041.mst"),)), {"transforms"}),
    ("2052 a transform of another product",
     kit(transforms=(("1041", "kit-1041.mst"), ("2052", os.path.join("runtime", "zlp2052.MST")))), {"transforms"}),
    ("the package rewritten after embedding",
     then(kit(), lambda folder: msibuild(os.path.join(folder, KIT),
                                         "UPDATE Property SET Value='Hi' WHERE Property='KitGreeting'")),
     {"transforms"}),
    ("no wait in the user-interface sequence", kit("DELETE FROM InstallUISequence WHERE Action='WaitForCabinetsUI'"),
     {"wait"}),
    ("the wait not conditioned on WRAPPER",
     kit("UPDATE InstallUISequence SET Condition='NOT Installed' WHERE Action='WaitForCabinetsUI'"), {"wait"}),
    ("the execute sequence's wait after InstallFiles",
     kit("UPDATE InstallExecuteSequence SET Sequence=4001 WHERE Action='WaitForCabinetsExecute'"), {"wait"}),
    ("VeskHome under another key",
     kit("UPDATE Registry SET `Key`='SOFTWARE\\Morvanta\\Vesk' WHERE Name='VeskHome'"), {"kit-folder"}),
    ("a follow-up file named otherwise",
     kit("UPDATE File SET FileName='zlp2053.MST' WHERE File='zlp2052.MST'"), {"kit-folder"}),
    ("cabinet names in capitals", then(kit("UPDATE Media SET Cabinet='SJ160390.CAB' WHERE DiskId=1"),
                                       updater("UPDATE Media SET Cabinet='AU.CAB'")), set()),
    ("the wait step asynchronous", kit("UPDATE CustomAction SET Type=2177 WHERE Action='WaitForCabinetsUI'"),
     {"wait"}),
    ("the wait step's code naming no event", kit(streams=(("Binary.VeskSetupDll", "unpack.exe"),)), {"event"}),
    ("VeskHome only in the source feature",
     kit(*("DELETE FROM FeatureComponents WHERE Component_='KitHome' AND Feature_='%s'" % feature
           for feature in ("PubliczlpFeature", "ToolsFeature", "DatabaseFeature"))), {"kit-folder"}),
    ("1041 made from an older build",
     lambda folder: kit(transforms=(("1041", older_transform(folder)), ("2052", "kit-2052.mst")))(folder),
     {"transforms"}),
    ("Wine cannot run: the transforms noted, not checked", kit(transforms=(("1041", "kit-1041.mst"),)), set(),
     NO_WINE),
    ("Wine cannot run: two disks swapped", kit("UPDATE Media SET Cabinet='sb160390.cab' WHERE DiskId=1",
                                              "UPDATE Media SET Cabinet='sj160390.cab' WHERE DiskId=2"), {"media"},
     NO_WINE),
]


def check(folder, how):
    if how is None:
        args, cwd, env = [sys.executable, CHECKER, "--helper", opts.helper, "--wineprefix", opts.wineprefix,
                          "--wine", opts.wine, "--flavour", opts.flavour, folder], None, None
    else:
        args, cwd = ["bash", SCRIPT, os.path.relpath(folder, opts.work_dir), "--flavour", opts.flavour], opts.work_dir
        env = dict(os.environ, QMB_WINDOWS_BUILD_DIR=opts.build_dir)
        if how == NO_WINE:
            # The flavour's loader fails as Debian's wine does where the
            # kernel refuses 32-bit programs.
            fake = os.path.join(opts.work_dir, "no-wine")
            os.makedirs(fake, exist_ok=True)
            loader = "wine64" if opts.flavour == "amd64" else "wine"
            with open(os.path.join(fake, loader), "w") as f:
                f.write("#!/bin/sh\necho '/usr/bin/wine: 4: exec: /usr/lib/wine/wine: Exec format error' >&2\nexit 2\n")
            os.chmod(os.path.join(fake, loader), 0o755)
            env["PATH"] = fake + os.pathsep + env["PATH"]
    return subprocess.run(args, cwd=cwd, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                          timeout=2 * ROW_LIMIT)


def main():
    global opts
    parser = argparse.ArgumentParser()
    for name in ("--payload-dir", "--parts", "--helper", "--msiembed", "--msitransform", "--wineprefix",
                 "--work-dir", "--build-dir"):
        parser.add_argument(name, required=True)
    parser.add_argument("--flavour", choices=sorted(payload_contract.FLAVOURS), default="i586")
    parser.add_argument("--wine", default="wine")
    opts = parser.parse_args()
    shutil.rmtree(opts.work_dir, ignore_errors=True)
    os.makedirs(opts.work_dir)
    wine_env = dict(os.environ, WINEPREFIX=opts.wineprefix)

    def server(*args):
        subprocess.run(["wineserver"] + list(args), env=wine_env, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    # The first row from a stopped server; then one persistent server for
    # the prefix while the other rows run (started once the first row's has
    # ended), ended after.
    server("-k")
    server("-w")
    failures = 0
    try:
        table = rows(opts.flavour)
        for number, row in enumerate(table):
            case, mutate, rules = row[:3]
            how = row[3] if len(row) > 3 else None
            folder = os.path.join(opts.work_dir, "row%02d" % number)
            shutil.copytree(opts.payload_dir, folder)
            try:
                mutate(folder)
            except RuntimeError as e:
                print("FAIL: %s: the mutation failed: %s" % (case, e))
                failures += 1
                continue
            started = time.monotonic()
            try:
                result = check(folder, how)
            except subprocess.TimeoutExpired:
                failures += 1
                print("FAIL: %s: the check did not end within %d s" % (case, 2 * ROW_LIMIT))
                continue
            took = time.monotonic() - started
            found = set(re.findall(r"^\[([a-z-]+)\] ", result.stdout, re.M))
            status = 0 if not rules else 1
            problems = []
            if found != rules or result.returncode != status:
                problems.append("expected findings of %s and status %d; found %s, status %d"
                                % (sorted(rules) or "no rule", status, sorted(found) or "none", result.returncode))
            if how == NO_WINE and "note: the embedded transforms 1041 and 2052 were not checked" \
                    not in result.stdout:
                problems.append("no note that the transforms were not checked")
            if took > ROW_LIMIT:
                problems.append("took %.0f s (limit %d s)" % (took, ROW_LIMIT))
            if problems:
                failures += 1
                print("FAIL: %s: %s. Output:\n%s" % (case, "; ".join(problems), result.stdout))
            else:
                print("ok:   %s: %s (%.1f s)" % (case, ", ".join(sorted(found)) or "no finding", took))
                shutil.rmtree(folder)
            if number == 0:
                server("-w")
                server("-p")
    finally:
        server("-k")
    print("%d passed, %d failed" % (len(table) - failures, failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
