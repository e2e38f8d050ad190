#!/usr/bin/env python3
"""Runs the payload contract check (scripts/payload_contract.py) on the
sample payload, which must pass, and on copies of it that each break one
rule of the contract, made here with msibuild, gcab and the transform
embedder; each must give the findings of that rule and no other.

  payload_contract_test.py --payload-dir DIR --parts DIR --helper msiembedded.exe
                           --msiembed msiembed.exe --wineprefix DIR --work-dir DIR

--parts is the sample packages' build folder: the kit package before its
transforms were embedded (kit-1033.msi), the two transforms, and the runtime
package's transform zlp2052.MST (a transform of another product).
"""
import argparse
import os
import re
import shutil
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
CHECKER = os.path.join(HERE, "..", "..", "scripts", "payload_contract.py")
KIT = "qmb1.6.0_39.msi"
OTHER_PRODUCT = "{00000000-1111-2222-3333-444444444444}"

opts = None


def run(args, **kwargs):
    result = subprocess.run(args, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, errors="replace",
                            **kwargs)
    if result.returncode != 0:
        raise RuntimeError("%s failed (%d):\n%s" % (" ".join(args), result.returncode, result.stdout))
    return result.stdout


def wine(*args):
    env = dict(os.environ, WINEPREFIX=opts.wineprefix, WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")
    env.pop("DISPLAY", None)
    return run(["wine"] + list(args), env=env)


def win(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def msibuild(path, *queries):
    args = ["msibuild", path]
    for query in queries:
        args += ["-q", query]
    run(args)


def kit(*queries, transforms=(("1041", "kit-1041.mst"), ("2052", "kit-2052.mst"))):
    """A mutation: the kit package made anew from its parts, the queries
    applied before the transforms are embedded (embedding comes last)."""
    def mutate(folder):
        package = os.path.join(folder, KIT)
        os.remove(package)
        shutil.copyfile(os.path.join(opts.parts, "kit-1033.msi"), package)
        if queries:
            msibuild(package, *queries)
        pairs = []
        for name, part in transforms:
            pairs += [name, win(os.path.join(opts.parts, part))]
        wine(opts.msiembed, win(package), *pairs)
    return mutate


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


# (case, mutation, the rules whose findings must appear, and only those)
ROWS = [
    ("the sample payload", lambda folder: None, set()),
    ("a cabinet missing", remove("st160390.cab"), {"files"}),
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
    ("the updater of another product",
     updater("UPDATE Property SET Value='%s' WHERE Property='ProductCode'" % OTHER_PRODUCT), {"updater"}),
    ("the updater of another version", updater("UPDATE Property SET Value='2.0.7.3' WHERE Property='ProductVersion'"),
     {"updater"}),
    ("the updater's cabinet named otherwise", updater("UPDATE Media SET Cabinet='au1.cab'"), {"updater"}),
]


def main():
    global opts
    parser = argparse.ArgumentParser()
    for name in ("--payload-dir", "--parts", "--helper", "--msiembed", "--wineprefix", "--work-dir"):
        parser.add_argument(name, required=True)
    opts = parser.parse_args()
    shutil.rmtree(opts.work_dir, ignore_errors=True)
    os.makedirs(opts.work_dir)
    # One persistent server for the prefix while the rows run, ended after.
    wine_env = dict(os.environ, WINEPREFIX=opts.wineprefix)
    subprocess.run(["wineserver", "-p"], env=wine_env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)
    failures = 0
    try:
        for number, (case, mutate, rules) in enumerate(ROWS):
            folder = os.path.join(opts.work_dir, "row%02d" % number)
            shutil.copytree(opts.payload_dir, folder)
            try:
                mutate(folder)
            except RuntimeError as e:
                print("FAIL: %s: the mutation failed: %s" % (case, e))
                failures += 1
                continue
            result = subprocess.run([sys.executable, CHECKER, "--helper", opts.helper, "--wineprefix",
                                     opts.wineprefix, folder], stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                    text=True)
            found = set(re.findall(r"^\[([a-z-]+)\] ", result.stdout, re.M))
            status = 0 if not rules else 1
            if found == rules and result.returncode == status:
                print("ok:   %s: %s" % (case, ", ".join(sorted(found)) or "no finding"))
                shutil.rmtree(folder)
            else:
                failures += 1
                print("FAIL: %s: expected findings of %s and status %d; found %s, status %d. Output:\n%s"
                      % (case, sorted(rules) or "no rule", status, sorted(found) or "none", result.returncode,
                         result.stdout))
    finally:
        subprocess.run(["wineserver", "-k"], env=wine_env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    print("%d passed, %d failed" % (len(ROWS) - failures, failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
