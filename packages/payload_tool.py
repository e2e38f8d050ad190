#!/usr/bin/env python3
"""Build steps of the sample payload that the packaging tools leave open.

  tar     a ustar archive with fixed owner, mode and time (reproducible);
  cab     a gcab cabinet whose members are named as given (the File Ids of a
          package), from copies with a fixed time, optionally with a reserved
          header area that gcab itself cannot write;
  finish  the last edits of a package built by wixl: the media table for
          several external cabinets, which wixl cannot write, a pinned
          package code, and the build's date as the package's creation and
          last-save time (wixl writes the time it ran); then checks the
          result by reading it back.

The date is SOURCE_DATE_EPOCH, or 2023-01-01 00:00 UTC when it is not set.

Every failure ends with a message that names the file and exit code 1.
"""
import argparse
import os
import shutil
import struct
import subprocess
import sys
import tarfile
import tempfile
import time

# Cabinet header flag: a reserved area follows the fixed header fields.
CAB_RESERVE_PRESENT = 0x0004
CAB_FIXED_HEADER = 36
# Summary information: the package's creation and last-save times.
PID_CREATE_DTM = 12
PID_LASTSAVE_DTM = 13


def fail(message):
    sys.stderr.write("payload_tool: %s\n" % message)
    sys.exit(1)


def run(args, **kwargs):
    result = subprocess.run(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, **kwargs)
    if result.returncode != 0:
        fail("%s exited with %d:\n%s%s" % (" ".join(args), result.returncode, result.stdout, result.stderr))
    return result.stdout


def build_time():
    return int(os.environ.get("SOURCE_DATE_EPOCH", "1672531200"))  # 2023-01-01 00:00 UTC


# ---------------------------------------------------------------- tar

def cmd_tar(opts):
    mtime = build_time()
    with tarfile.open(opts.out, "w", format=tarfile.USTAR_FORMAT) as archive:
        for name in opts.members:
            path = os.path.join(opts.root, name)
            if not os.path.isfile(path):
                fail("tar: no file %s" % path)
            info = tarfile.TarInfo(name.replace(os.sep, "/"))
            info.size = os.path.getsize(path)
            info.mtime = mtime
            info.mode = 0o644
            info.uid = info.gid = 0
            info.uname = info.gname = ""
            with open(path, "rb") as data:
                archive.addfile(info, data)


# ---------------------------------------------------------------- cab

def add_reserved_header(path, size):
    """Inserts a zero-filled per-cabinet reserved area of `size` bytes (no
    per-folder or per-datablock reserve) into a cabinet that has none."""
    with open(path, "rb") as f:
        cab = bytearray(f.read())
    if cab[:4] != b"MSCF":
        fail("cab: %s is not a cabinet" % path)
    (cb_cabinet,) = struct.unpack_from("<I", cab, 8)
    (coff_files,) = struct.unpack_from("<I", cab, 16)
    folders, _files, flags = struct.unpack_from("<HHH", cab, 26)
    if flags:
        fail("cab: %s has header flags 0x%x; only a plain cabinet can be given a reserve" % (path, flags))
    if cb_cabinet != len(cab):
        fail("cab: %s: header size %d differs from the file size %d" % (path, cb_cabinet, len(cab)))
    shift = 4 + size
    struct.pack_into("<I", cab, 8, cb_cabinet + shift)
    struct.pack_into("<I", cab, 16, coff_files + shift)
    struct.pack_into("<H", cab, 30, flags | CAB_RESERVE_PRESENT)
    for i in range(folders):
        at = CAB_FIXED_HEADER + 8 * i
        (coff_start,) = struct.unpack_from("<I", cab, at)
        struct.pack_into("<I", cab, at, coff_start + shift)
    reserve = struct.pack("<HBB", size, 0, 0) + bytes(size)
    cab[CAB_FIXED_HEADER:CAB_FIXED_HEADER] = reserve
    with open(path, "wb") as f:
        f.write(cab)


def cmd_cab(opts):
    mtime = build_time()
    names = []
    with tempfile.TemporaryDirectory() as stage:
        for member in opts.members:
            name, sep, source = member.partition("=")
            if not sep or not name or not source:
                fail("cab: member %r is not NAME=PATH" % member)
            if not os.path.isfile(source):
                fail("cab: %s: no file %s for member %s" % (opts.out, source, name))
            shutil.copyfile(source, os.path.join(stage, name))
            os.utime(os.path.join(stage, name), (mtime, mtime))
            names.append(name)
        out = os.path.abspath(opts.out)
        if os.path.exists(out):
            os.remove(out)
        run([opts.gcab, "-c", "-z", "-n", out] + names, cwd=stage)
    if opts.reserve:
        add_reserved_header(out, opts.reserve)
    listing = run([opts.gcab, "-t", out]).split()
    if listing != names:
        fail("cab: %s lists %s, expected %s" % (out, listing, names))


# ---------------------------------------------------------------- finish

def export_table(msiinfo, msi, table):
    """Rows of a table as lists of column texts (the three header lines of
    the export format are skipped)."""
    lines = run([msiinfo, "export", msi, table]).splitlines()
    return [line.split("\t") for line in lines[3:] if line]


def sql_text(text):
    if "'" in text:
        fail("finish: quote in %r" % text)
    return "'%s'" % text


def cmd_finish(opts):
    # msitools read and write the summary dates as local time.
    os.environ["TZ"] = "UTC0"
    tmp = opts.out + ".tmp"
    shutil.copyfile(opts.input, tmp)

    # The File table as wixl wrote it: File Id -> sequence.
    files = {row[0]: int(row[7]) for row in export_table(opts.msiinfo, tmp, "File")}
    disks = []
    for disk in opts.disk:
        cabinet, sep, members = disk.partition("=")
        if not sep or not members:
            fail("finish: disk %r is not CABINET=ID,ID..." % disk)
        disks.append((cabinet, members.split(",")))

    queries = []
    if disks:
        # Each disk's members must be the next block of sequences, in the
        # order given; otherwise a file would be looked for in the wrong cab.
        expected = 1
        listed = set()
        for number, (cabinet, members) in enumerate(disks, start=1):
            for member in members:
                if member not in files:
                    fail("finish: %s: cabinet %s names %s, which is not in the File table" % (opts.input, cabinet, member))
                if files[member] != expected:
                    fail("finish: %s: %s has sequence %d, expected %d (File elements out of disk order?)"
                         % (opts.input, member, files[member], expected))
                listed.add(member)
                expected += 1
            if number == 1:
                queries.append("UPDATE Media SET LastSequence=%d, Cabinet=%s WHERE DiskId=1"
                               % (expected - 1, sql_text(cabinet)))
            else:
                queries.append("INSERT INTO Media (DiskId, LastSequence, Cabinet) VALUES (%d, %d, %s)"
                               % (number, expected - 1, sql_text(cabinet)))
        unlisted = sorted(set(files) - listed)
        if unlisted:
            fail("finish: %s: files in no cabinet: %s" % (opts.input, ", ".join(unlisted)))

    date = time.strftime("%Y/%m/%d %H:%M:%S", time.gmtime(build_time()))
    with tempfile.TemporaryDirectory() as work:
        dates = os.path.join(work, "_SummaryInformation.idt")
        with open(dates, "w", newline="") as f:
            f.write("PropertyId\tValue\r\ni2\tl255\r\n_SummaryInformation\tPropertyId\r\n"
                    "%d\t%s\r\n%d\t%s\r\n" % (PID_CREATE_DTM, date, PID_LASTSAVE_DTM, date))
        args = [opts.msibuild, tmp, "-i", dates]
        for query in queries:
            args += ["-q", query]
        # msibuild takes -s last: it reads the rest of the line as its values.
        args += ["-s", opts.title, opts.author, opts.template, opts.package_code]
        run(args)

    # Read the result back.
    media = export_table(opts.msiinfo, tmp, "Media")
    if disks:
        got = sorted((int(row[0]), int(row[1]), row[3]) for row in media)
        want = []
        last = 0
        for number, (cabinet, members) in enumerate(disks, start=1):
            last += len(members)
            want.append((number, last, cabinet))
        if got != want:
            fail("finish: %s: Media table is %s, expected %s" % (opts.out, got, want))
    summary = run([opts.msiinfo, "suminfo", tmp])
    if opts.package_code not in summary:
        fail("finish: %s: package code %s not set:\n%s" % (opts.out, opts.package_code, summary))
    got = {row[0]: row[1] for row in export_table(opts.msiinfo, tmp, "_SummaryInformation") if len(row) > 1}
    for pid in (PID_CREATE_DTM, PID_LASTSAVE_DTM):
        if got.get(str(pid)) != date:
            fail("finish: %s: summary property %d is %r, expected %s" % (opts.out, pid, got.get(str(pid)), date))
    os.replace(tmp, opts.out)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = parser.add_subparsers(dest="command", required=True)

    p = sub.add_parser("tar")
    p.add_argument("--out", required=True)
    p.add_argument("--root", required=True, help="folder the member names are relative to")
    p.add_argument("members", nargs="+")
    p.set_defaults(run=cmd_tar)

    p = sub.add_parser("cab")
    p.add_argument("--out", required=True)
    p.add_argument("--gcab", default="gcab")
    p.add_argument("--reserve", type=int, default=0, help="bytes of reserved header area")
    p.add_argument("members", nargs="+", help="NAME=PATH, NAME being the member's name in the cabinet")
    p.set_defaults(run=cmd_cab)

    p = sub.add_parser("finish")
    p.add_argument("--in", dest="input", required=True)
    p.add_argument("--out", required=True)
    p.add_argument("--msibuild", default="msibuild")
    p.add_argument("--msiinfo", default="msiinfo")
    p.add_argument("--package-code", required=True)
    p.add_argument("--title", default="Installation Database")
    p.add_argument("--author", required=True)
    p.add_argument("--template", default="Intel;1033")
    p.add_argument("--disk", action="append", default=[],
                   help="CABINET=ID,ID,... one per media disk, in disk order")
    p.set_defaults(run=cmd_finish)

    opts = parser.parse_args()
    opts.run(opts)


if __name__ == "__main__":
    main()
