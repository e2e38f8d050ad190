#!/usr/bin/env python3
"""Runs the payload check (cmake -P CheckPayload.cmake) on good and broken
payload folders and checks its verdict, its messages and its stamp.

  check_payload_script_test.py --cmake CMAKE --script CheckPayload.cmake --work-dir DIR
"""

import argparse
import os
import shutil
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from make_dummy_payload import write_dummy_payload  # noqa: E402

MSI = bytes.fromhex("d0cf11e0a1b11ae1")


def write(folder, name, data):
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


def remove(folder, name):
    os.remove(os.path.join(folder, name))


def make_folder(folder, name):
    remove(folder, name)
    os.mkdir(os.path.join(folder, name))


# (case, changes to a good folder, passes, texts the output must contain
#  with {dir} standing for the folder)
CASES = [
    ("good folder", lambda d: None, True, []),
    ("installer missing", lambda d: remove(d, "qmb1.6.0_39.msi"), False,
     ["{dir}/qmb1.6.0_39.msi: missing"]),
    ("updater cabinet missing", lambda d: remove(d, "au.cab"), False,
     ["{dir}/au.cab: missing"]),
    ("package is a cabinet", lambda d: write(d, "au.msi", b"MSCF\0\0\0\0rest"), False,
     ["{dir}/au.msi: not a Windows Installer database: it begins with 4D 53 43 46 00 00 00 00 "
      "instead of D0 CF 11 E0 A1 B1 1A E1"]),
    ("cabinet is a package", lambda d: write(d, "sz160390.cab", MSI), False,
     ["{dir}/sz160390.cab: not a cabinet: it begins with D0 CF 11 E0 instead of \"MSCF\""]),
    ("cabinet signature in lower case", lambda d: write(d, "sb160390.cab", b"mscf...."), False,
     ["{dir}/sb160390.cab: not a cabinet: it begins with 6D 73 63 66"]),
    ("package one byte wrong", lambda d: write(d, "qmb1.6.0_39.msi", MSI[:7] + b"\xe0rest"),
     False, ["{dir}/qmb1.6.0_39.msi: not a Windows Installer database: "
             "it begins with D0 CF 11 E0 A1 B1 1A E0"]),
    ("empty cabinet", lambda d: write(d, "sr160390.cab", b""), False,
     ["{dir}/sr160390.cab: empty, not a cabinet"]),
    ("cabinet shorter than its signature", lambda d: write(d, "sp160390.cab", b"MSC"), False,
     ["{dir}/sp160390.cab: only 3 bytes long (4D 53 43), not a cabinet"]),
    ("package shorter than its signature", lambda d: write(d, "au.msi", MSI[:4]), False,
     ["{dir}/au.msi: only 4 bytes long (D0 CF 11 E0), not a Windows Installer database"]),
    ("folder in place of a cabinet", lambda d: make_folder(d, "st160390.cab"), False,
     ["{dir}/st160390.cab: a folder, not a file"]),
    ("two problems named together",
     lambda d: (remove(d, "ss160390.cab"), write(d, "sj160390.cab", b"PK\3\4")), False,
     ["{dir}/ss160390.cab: missing", "{dir}/sj160390.cab: not a cabinet: it begins with 50 4B 03 04"]),
    ("no folder at all", lambda d: shutil.rmtree(d), False,
     ["{dir}/qmb1.6.0_39.msi: missing", "{dir}/au.msi: missing", "{dir}/sr160390.cab: missing"]),
]


def run_check(cmake, script, folder, stamp):
    args = [cmake]
    if folder is not None:
        args.append("-DPAYLOAD_DIR=" + folder)
    args += ["-DSTAMP=" + stamp, "-P", script]
    result = subprocess.run(args, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    return result.returncode, result.stdout


def check_stamp_follows_changes(cmake, script, work_dir):
    """The stamp is left alone while nothing changes and rewritten after any
    change, a file put back with an older time included."""
    errors = []
    folder = os.path.join(work_dir, "stamp case")
    stamp = os.path.join(work_dir, "stamp case.stamp")
    write_dummy_payload(folder)

    def check(step):
        code, output = run_check(cmake, script, folder, stamp)
        if code != 0:
            errors.append("stamp, %s: exit code %d\n%s" % (step, code, output))
        with open(stamp, "rb") as f:
            return f.read(), os.stat(stamp).st_mtime_ns

    first, first_time = check("first run")
    # Give the stamp an old time so that a rewrite shows however coarse the
    # file system's clock is.
    os.utime(stamp, ns=(first_time - 10**10, first_time - 10**10))
    old_time = os.stat(stamp).st_mtime_ns
    again, again_time = check("second run, nothing changed")
    if again != first or again_time != old_time:
        errors.append("stamp: rewritten although no payload file changed")

    cabinet = os.path.join(folder, "sb160390.cab")
    older = os.stat(cabinet).st_mtime_ns - 3600 * 10**9
    os.utime(cabinet, ns=(older, older))
    moved_back, _ = check("a cabinet with an older time")
    if moved_back == again:
        errors.append("stamp: unchanged after a cabinet got an older time")

    with open(cabinet, "ab") as f:
        f.write(b"more")
    os.utime(cabinet, ns=(older, older))
    grown, _ = check("a cabinet grown, its time kept")
    if grown == moved_back:
        errors.append("stamp: unchanged after a cabinet grew")
    return errors


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--cmake", required=True)
    parser.add_argument("--script", required=True)
    parser.add_argument("--work-dir", required=True)
    args = parser.parse_args()
    shutil.rmtree(args.work_dir, ignore_errors=True)
    os.makedirs(args.work_dir)

    errors = []
    for number, (name, change, passes, texts) in enumerate(CASES):
        # A blank in the folder's name as well: the check must not split paths.
        folder = os.path.join(args.work_dir, "case %d" % number)
        stamp = os.path.join(args.work_dir, "case %d.stamp" % number)
        write_dummy_payload(folder)
        change(folder)
        code, output = run_check(args.cmake, args.script, folder, stamp)
        # cmake may wrap a long message; join its lines before searching.
        flat = " ".join(output.split())
        if (code == 0) != passes:
            errors.append("%s: exit code %d, expected %s\n%s"
                          % (name, code, "success" if passes else "failure", output))
            continue
        if os.path.exists(stamp) != passes:
            errors.append("%s: stamp %s" % (name, "missing" if passes else "written on failure"))
        for text in texts:
            wanted = " ".join(text.format(dir=folder).split())
            if wanted not in flat:
                errors.append("%s: output lacks %r:\n%s" % (name, wanted, output))

    errors += check_stamp_follows_changes(args.cmake, args.script, args.work_dir)

    code, output = run_check(args.cmake, args.script, None,
                             os.path.join(args.work_dir, "none.stamp"))
    if code == 0 or "-DPAYLOAD_DIR=" not in output:
        errors.append("no folder given: exit code %d, output:\n%s" % (code, output))

    shutil.rmtree(args.work_dir, ignore_errors=True)
    for line in errors:
        print(line)
    if errors:
        return 1
    print("ok: %d payload folders and the stamp's updates" % (len(CASES) + 1))
    return 0


if __name__ == "__main__":
    sys.exit(main())
