#!/usr/bin/env python3
"""The bootstrapper's benchmark under Wine: time to installer start, time to
ready, memory and size, against a peer (an NSIS installer), a control (two
bare process creations) and the limit (a bare program writing the same
bytes, and a native cp).

  bench.py [--flavour amd64] [--root DIR] [--reps N] [--jobs N]   the full benchmark
  bench.py [--flavour amd64] --smoke --root DIR   one repetition, tenth-size
                                                  payload, checks only

Everything lives under --root (default: the repository's build/):
  bench-payload-full/, bench-payload-tenth/   the generated payloads
  bench-win-full/, bench-win-tenth/           product builds, one per payload
  bench-prefix/                               the private Wine prefix
  bench-results.json, bench-results.md        the figures of the last run
and for the 64-bit flavour (--flavour amd64) bench-win64-*/, bench-prefix64/
and bench-results-amd64.*: the 64-bit exe and 64-bit builds of the control,
the control with the libraries, the limit program, the launcher and the
stand-in, all run natively by wine64 in a 64-bit prefix. NSIS makes 32-bit
installers only, so that run has no peer.

Each repetition runs, in this order: the exe (qmb-setup.exe, started by
bench-launch.exe, which also watches the ready event; the stand-in installer
tool waits for it), the peer, the control, the control with the exe's
libraries, the limit program and cp. Every run is checked (exit codes,
records, the files each one wrote, byte for byte) and a failed check ends the
benchmark with status 1.
"""
import argparse
import datetime
import json
import os
import platform
import shutil
import statistics
import struct
import subprocess
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
REPO = HERE.parent
sys.path.insert(0, str(HERE))
import make_payload  # noqa: E402

READY_EVENT = "QorQMBCabExtractWaitEvent"
PAYLOAD_NAMES = [name for name, _ in make_payload.CATALOGUE]
# What the exe writes before the ready event, in its order: the package, then
# the seven cabinets. The updater's two files are written only after a
# successful install, which the stand-in does not make.
WRITTEN_NAMES = PAYLOAD_NAMES[:8]
INSTALLER_KEY = r"HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Installer"
BENCH_DIR_WIN = r"C:\qmb-bench"
TOOL_DIR_WIN = BENCH_DIR_WIN + r"\tool"
RUN_TIMEOUT_S = 300
PAYLOADS = {"full": 1, "tenth": 10}
CONTENDERS = ("exe", "peer", "control", "libcontrol", "limit", "cp")
TIME_KEYS = ("exe_start", "peer_start", "control_start", "libcontrol_start", "exe_ready", "limit_done", "limit_entry",
             "limit_writes", "cp_done")
GOALS = {
    "handover_ratio_min": 20.0,
    "ready_ratio_max": 1.15,
    "memory_growth_max_bytes": 1 << 20,
    "exe_without_payload_max_bytes": 64 * 1024,
}
# The 64-bit flavour's goals: its handover beyond the control with the same
# libraries (there is no 64-bit peer), and a larger exe.
GOALS_AMD64 = {
    "handover_beyond_libraries_max_ms": 3.0,
    "ready_ratio_max": 1.15,
    "memory_growth_max_bytes": 1 << 20,
    "exe_without_payload_max_bytes": 96 * 1024,
}


class Flavour:
    """What the benchmark of one flavour of the exe builds and runs."""

    def __init__(self, name, preset, tag, arch, loader, contenders, results, gcc):
        self.name, self.preset, self.tag, self.arch, self.loader = name, preset, tag, arch, loader
        self.contenders, self.results, self.gcc = contenders, results, gcc


FLAVOURS = {
    "i586": Flavour("i586", "windows", "", "win32", "wine", CONTENDERS, "bench-results", "i686-w64-mingw32-gcc"),
    "amd64": Flavour("amd64", "windows-amd64", "64", "win64", "/usr/lib/wine/wine64",
                     tuple(c for c in CONTENDERS if c != "peer"), "bench-results-amd64", "x86_64-w64-mingw32-gcc"),
}


class BenchError(Exception):
    pass


# ----------------------------------------------------------------- records

def parse_record(text):
    """The lines "<key> <value>" of a record file as a dict. Keys that occur
    more than once ("file") map to a list of their values, in order."""
    record = {}
    for line in text.splitlines():
        line = line.rstrip("\r")
        if not line:
            continue
        key, _, value = line.partition(" ")
        if key == "file":
            record.setdefault("file", []).append(value)
        elif key in record:
            raise BenchError(f"record key {key!r} appears twice")
        else:
            record[key] = value
    return record


def ticks(record, key):
    if key not in record:
        raise BenchError(f"the record has no {key!r} (keys: {', '.join(sorted(record))})")
    try:
        return int(record[key])
    except ValueError:
        raise BenchError(f"record {key!r} is not a number: {record[key]!r}")


def elapsed_ms(record, start_key, end_key):
    """Milliseconds between two tick records, on the launcher's frequency."""
    freq = ticks(record, "freq")
    if freq <= 0:
        raise BenchError(f"bad clock frequency {freq}")
    start, end = ticks(record, start_key), ticks(record, end_key)
    if end < start:
        raise BenchError(f"{end_key} ({end}) is before {start_key} ({start})")
    return (end - start) * 1000.0 / freq


def listed_files(record):
    """{name: size} of the "file <name> <size>" records."""
    files = {}
    for value in record.get("file", []):
        name, _, size = value.rpartition(" ")
        files[name] = int(size)
    return files


# ----------------------------------------------------------------- figures

def median(values):
    values = [v for v in values if v is not None]
    return statistics.median(values) if values else None


def pairwise(a, b, op):
    """op(a[i], b[i]) for each repetition i in which both exist."""
    if len(a) != len(b):
        raise BenchError(f"unpaired series: {len(a)} against {len(b)} values")
    return [op(x, y) if x is not None and y is not None else None for x, y in zip(a, b)]


def ratio(x, y):
    return x / y if y > 0 else None


def fastest_ratio(series, numerator, denominator, minus=None):
    """A ratio of the fastest runs: (min numerator - min minus) / (min
    denominator - min minus). The fastest run of each contender is the one
    least disturbed by other work on the machine."""
    def low(key):
        values = [v for v in series[key] if v is not None]
        return min(values) if values else None
    top, bottom = low(numerator), low(denominator)
    base = low(minus) if minus else 0.0
    if top is None or bottom is None or base is None:
        return None
    return ratio(top - base, bottom - base)


def fastest_difference(series, a, b):
    """The fastest run of a less the fastest run of b, in ms."""
    low = [min([v for v in series[key] if v is not None], default=None) for key in (a, b)]
    return None if None in low else low[0] - low[1]


def figures(runs):
    """The benchmark's figures for one payload from its repetitions, each a
    dict of contender -> metrics. Differences and ratios are taken within one
    repetition and their medians reported (a median of ratios, not a ratio of
    medians)."""
    series = {}
    for key in TIME_KEYS + ("exe_standin_ready", "exe_peak_pagefile", "peer_peak_pagefile", "limit_peak_pagefile",
                            "control_peak_pagefile", "exe_peak_working_set"):
        series[key] = [run.get(key) for run in runs]
    handover_exe = pairwise(series["exe_start"], series["control_start"], lambda x, c: x - c)
    handover_peer = pairwise(series["peer_start"], series["control_start"], lambda x, c: x - c)
    libraries = pairwise(series["libcontrol_start"], series["control_start"], lambda x, c: x - c)
    standin_lag = [None if run.get("exe_standin_already_set") else
                   pairwise([run.get("exe_standin_ready")], [run.get("exe_ready")], lambda x, y: x - y)[0]
                   for run in runs]
    out = {
        "repetitions": len(runs),
        "medians_ms": {key: median(series[key]) for key in TIME_KEYS},
        "minimums_ms": {key: min([v for v in series[key] if v is not None], default=None) for key in TIME_KEYS},
        "handover_exe_ms": median(handover_exe),
        "handover_peer_ms": median(handover_peer),
        "libraries_ms": median(libraries),
        "handover_exe_beyond_libraries_ms": median(pairwise(handover_exe, libraries, lambda x, y: x - y)),
        "handover_ratio": median(pairwise(handover_peer, handover_exe, ratio)),
        "handover_ratio_beyond_libraries": median(pairwise(
            pairwise(handover_peer, libraries, lambda x, y: x - y),
            pairwise(handover_exe, libraries, lambda x, y: x - y), ratio)),
        "ready_ratio_limit": median(pairwise(series["exe_ready"], series["limit_done"], ratio)),
        "ready_ratio_cp": median(pairwise(series["exe_ready"], series["cp_done"], ratio)),
        "ready_minus_limit_ms": median(pairwise(series["exe_ready"], series["limit_done"], lambda x, y: x - y)),
        "exe_peak_pagefile": {"median": median(series["exe_peak_pagefile"]),
                              "max": max([v for v in series["exe_peak_pagefile"] if v is not None], default=None)},
        "exe_peak_working_set": median(series["exe_peak_working_set"]),
        "peer_peak_pagefile": median(series["peer_peak_pagefile"]),
        "limit_peak_pagefile": median(series["limit_peak_pagefile"]),
        "control_peak_pagefile": median(series["control_peak_pagefile"]),
        "handover_ratio_fastest": fastest_ratio(series, "peer_start", "exe_start", "control_start"),
        "handover_beyond_libraries_fastest_ms": fastest_difference(series, "exe_start", "libcontrol_start"),
        "ready_ratio_fastest": fastest_ratio(series, "exe_ready", "limit_done"),
        "standin_already_set": sum(1 for run in runs if run.get("exe_standin_already_set")),
        "standin_lag_ms": median(standin_lag),
        "series_ms": {key: series[key] for key in TIME_KEYS},
    }
    return out


def goals(results):
    """Each goal with its figure and whether it is met (None: not measured),
    for the flavour the results are of (results["flavour"], i586 when not
    given)."""
    full = results["payloads"].get("full", {}).get("figures")
    tenth = results["payloads"].get("tenth", {}).get("figures")
    sizes = results.get("sizes", {})
    wide = results.get("flavour", "i586") == "amd64"
    limits = GOALS_AMD64 if wide else GOALS
    out = []

    def add(name, value, limit, met):
        out.append({"goal": name, "value": value, "limit": limit, "met": met})

    if full and wide:
        d = full["handover_exe_beyond_libraries_ms"]
        add("handover beyond the control with the exe's libraries at most 3 ms (full payload)", d,
            limits["handover_beyond_libraries_max_ms"],
            None if d is None else d <= limits["handover_beyond_libraries_max_ms"])
    elif full:
        r = full["handover_ratio"]
        add("handover delay at least 20x shorter than the peer's (full payload)", r,
            GOALS["handover_ratio_min"], None if r is None else r >= GOALS["handover_ratio_min"])
    if full:
        r = full["ready_ratio_limit"]
        add("time to ready within 1.15x the limit program's (full payload)", r,
            limits["ready_ratio_max"], None if r is None else r <= limits["ready_ratio_max"])
    if full and tenth:
        a, b = full["exe_peak_pagefile"]["median"], tenth["exe_peak_pagefile"]["median"]
        growth = None if a is None or b is None else a - b
        add("peak memory growth from the tenth to the full payload below 1 MB", growth,
            limits["memory_growth_max_bytes"], None if growth is None else growth < limits["memory_growth_max_bytes"])
    if "full" in sizes:
        size = sizes["full"]["exe_without_payload"]
        limit = limits["exe_without_payload_max_bytes"]
        add("the exe without payload under %d KB" % (limit // 1024), size, limit, size < limit)
    return out


# ----------------------------------------------------------------- PE

def pe_layout(data):
    """File alignment and sections of a PE image: a dict with
    file_alignment, section_alignment, headers (SizeOfHeaders) and sections, a
    list of (name, raw_offset, raw_size, virtual_size)."""
    if data[:2] != b"MZ":
        raise BenchError("not a PE file (no MZ)")
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe:pe + 4] != b"PE\0\0":
        raise BenchError("not a PE file (no PE signature)")
    sections, optional_size = struct.unpack_from("<HxxxxxxxxxxxxH", data, pe + 6)
    optional = pe + 24
    section_alignment, file_alignment = struct.unpack_from("<II", data, optional + 32)
    headers = struct.unpack_from("<I", data, optional + 60)[0]
    table = optional + optional_size
    out = []
    for i in range(sections):
        entry = table + 40 * i
        name = data[entry:entry + 8].rstrip(b"\0").decode("ascii", "replace")
        virtual_size, _, raw_size, raw_offset = struct.unpack_from("<IIII", data, entry + 8)
        out.append((name, raw_offset, raw_size, virtual_size))
    return {"file_alignment": file_alignment, "section_alignment": section_alignment,
            "headers": headers, "sections": out}


def size_figures(exe, payload_dir):
    data = Path(exe).read_bytes()
    payload = sum((Path(payload_dir) / name).stat().st_size for name in PAYLOAD_NAMES)
    layout = pe_layout(data)
    rsrc = [s for s in layout["sections"] if s[0] == ".rsrc"]
    return {
        "exe": len(data),
        "payload": payload,
        "exe_without_payload": len(data) - payload,
        "file_alignment": layout["file_alignment"],
        "sections": [{"name": n, "raw_offset": o, "raw_size": r, "virtual_size": v}
                     for n, o, r, v in layout["sections"]],
        "rsrc_page_aligned": bool(rsrc) and rsrc[0][1] % 4096 == 0,
        "rsrc_without_payload": (rsrc[0][3] - payload) if rsrc else None,
    }


# ----------------------------------------------------------------- machine

def log(text):
    print(text, flush=True)


def command_output(argv):
    try:
        return subprocess.run(argv, capture_output=True, text=True, timeout=60).stdout.strip()
    except (OSError, subprocess.TimeoutExpired):
        return ""


def machine_description(root, flavour):
    cpu = ""
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    memory = ""
    try:
        for line in Path("/proc/meminfo").read_text().splitlines():
            if line.startswith("MemTotal:"):
                memory = f"{int(line.split()[1]) // 1024} MiB"
    except OSError:
        pass
    debian = ""
    try:
        debian = Path("/etc/debian_version").read_text().strip()
    except OSError:
        pass
    return {
        "date": datetime.date.today().isoformat(),
        "cpu": cpu,
        "cores": os.cpu_count(),
        "memory": memory,
        "kernel": platform.release(),
        "debian": debian,
        "wine": command_output([flavour.loader, "--version"]),
        "makensis": command_output(["makensis", "-VERSION"]),
        "gcc": command_output([flavour.gcc, "-dumpversion"]),
        "file_system": (command_output(["findmnt", "-n", "-o", "FSTYPE", "--target", str(root)])
                        or command_output(["stat", "-f", "-c", "%T", str(root)])),
    }


# ----------------------------------------------------------------- builds

def build_product(root, kind, payload_dir, jobs, flavour):
    """Configures and builds the flavour's exe and the benchmark's programs
    for one payload in root/bench-win<tag>-<kind>; returns the build folder."""
    build = root / f"bench-win{flavour.tag}-{kind}"
    log(f"== building the exe and the benchmark programs with the {kind} payload in {build}")
    # The payload is random bytes behind each format's signature: it is no
    # package, so the contract check may only warn.
    subprocess.run(["cmake", "-S", str(REPO), "--preset", flavour.preset, "-B", str(build),
                    f"-DPAYLOAD_DIR={payload_dir}", "-DQMB_PAYLOAD_CONTRACT_WARNINGS=ON"],
                   check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", str(build), "-j", str(jobs), "--target", "qmb-setup", "qmb_bench"],
                   check=True)
    programs = ["launch", "standin", "control", "limit"] + (["peer"] if "peer" in flavour.contenders else [])
    for path in (build / "qmb-setup.exe", *(build / "bench" / f"bench-{n}.exe" for n in programs)):
        if not path.is_file():
            raise BenchError(f"the build did not make {path}")
    return build


# ----------------------------------------------------------------- wine

class Wine:
    """A private Wine prefix with a persistent server while in use, whose
    programs are started by `loader` (wine, or wine64 for 64-bit programs)
    in a prefix of the kind `arch` (win32 or win64)."""

    def __init__(self, prefix, loader="wine", arch="win32"):
        self.prefix = Path(prefix).resolve()
        self.loader, self.arch = loader, arch
        self.env = dict(os.environ)
        for name in ("DISPLAY", "WAYLAND_DISPLAY", "LC_ALL", "LC_MESSAGES", "LANGUAGE"):
            self.env.pop(name, None)
        self.env.update({"WINEPREFIX": str(self.prefix), "WINEDEBUG": "-all",
                         "WINEDLLOVERRIDES": "mscoree,mshtml=", "LANG": "C.UTF-8"})
        for name in list(self.env):
            if name.startswith("BENCH_"):
                del self.env[name]
        self.server = False

    def run(self, argv, env=None, timeout=RUN_TIMEOUT_S, check=True):
        """Runs a Wine command; returns (status, its output). The output goes
        through a file, not a pipe: the service processes that Wine starts
        with the first command of a session inherit the output handles and
        outlive the command, so a pipe would never reach its end."""
        full_env = dict(self.env)
        if env:
            full_env.update(env)
        with tempfile.TemporaryFile(mode="w+", errors="replace") as out:
            try:
                status = subprocess.run(argv, env=full_env, stdin=subprocess.DEVNULL, stdout=out,
                                        stderr=subprocess.STDOUT, timeout=timeout).returncode
            except subprocess.TimeoutExpired:
                self.kill()
                raise BenchError(f"{' '.join(argv)} did not finish within {timeout} s; "
                                 "the prefix's processes were ended")
            out.seek(0)
            text = out.read()
        if check and status != 0:
            raise BenchError(f"{' '.join(argv)} exited with {status}:\n{text}")
        return status, text

    def setup(self):
        ready = self.prefix / "qmb-bench-ready"
        if not ready.is_file():
            log(f"== booting the Wine prefix {self.prefix} ({self.arch})")
            if self.prefix.exists():
                subprocess.run(["wineserver", "-k"], env=self.env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                shutil.rmtree(self.prefix)
            self.prefix.parent.mkdir(parents=True, exist_ok=True)
            self.run([self.loader, "wineboot", "-i"], env={"WINEARCH": self.arch})
            subprocess.run(["wineserver", "-w"], env=self.env)
            ready.write_text("booted\n")
        # A server left running by an earlier run of this prefix would make
        # the persistent start fail.
        subprocess.run(["wineserver", "-k"], env=self.env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        subprocess.run(["wineserver", "-p"], env=self.env, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
        self.server = True

    def kill(self):
        subprocess.run(["wineserver", "-k"], env=self.env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if self.server:
            subprocess.run(["wineserver", "-p"], env=self.env, stdin=subprocess.DEVNULL,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def stop(self):
        subprocess.run(["wineserver", "-k"], env=self.env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.server = False

    @staticmethod
    def winpath(path):
        """The Windows name of a Unix path: drive Z: is the Unix root in
        every prefix wineboot makes."""
        return "Z:" + str(Path(path).resolve()).replace("/", "\\")

    def unixpath(self, winpath):
        """The Unix path of a C: path in the prefix."""
        if not winpath[:3].upper() == "C:\\":
            raise BenchError(f"not a C: path: {winpath}")
        return self.prefix / "drive_c" / winpath[3:].replace("\\", "/")


# ----------------------------------------------------------------- runs

class Bench:
    def __init__(self, wine, builds, payloads, contenders=CONTENDERS):
        self.wine = wine
        self.contenders = contenders
        self.builds = builds
        self.payloads = payloads
        self.bench_dir = wine.unixpath(BENCH_DIR_WIN)
        self.records = self.bench_dir / "records"
        self.counter = 0

    def prepare(self):
        tool = self.wine.unixpath(TOOL_DIR_WIN)
        if self.bench_dir.exists():
            shutil.rmtree(self.bench_dir)
        tool.mkdir(parents=True)
        self.records.mkdir()
        any_build = next(iter(self.builds.values()))
        shutil.copy(any_build / "bench" / "bench-standin.exe", tool / "msiexec.exe")
        self.wine.run([self.wine.loader, "reg", "add", INSTALLER_KEY, "/v", "InstallerLocation", "/t", "REG_SZ",
                       "/d", TOOL_DIR_WIN, "/f"])

    def launch(self, cmdline, env=None):
        """Runs cmdline through bench-launch.exe; returns the parsed record."""
        self.counter += 1
        record_win = f"{BENCH_DIR_WIN}\\records\\run{self.counter}.txt"
        record_unix = self.wine.unixpath(record_win)
        launcher = next(iter(self.builds.values())) / "bench" / "bench-launch.exe"
        run_env = {"BENCH_CMDLINE": cmdline, "BENCH_RECORD": record_win}
        run_env.update(env or {})
        status, output = self.wine.run([self.wine.loader, str(launcher)], env=run_env, check=False)
        if status != 0 or not record_unix.is_file():
            raise BenchError(f"bench-launch could not run {cmdline} (status {status}):\n{output}")
        record = parse_record(record_unix.read_text(errors="replace"))
        record_unix.unlink()
        return record

    def expect_exit(self, what, record, code=0):
        if ticks(record, "exit") != code:
            raise BenchError(f"{what}: exit code {record['exit']}, expected {code}; record: {record}")

    def expect_files(self, what, folder, payload_dir, listed=None):
        """The folder holds exactly the written files, byte-identical to the
        payload (and, when given, the stand-in saw them at their full sizes)."""
        folder = Path(folder)
        present = sorted(p.name for p in folder.iterdir()) if folder.is_dir() else []
        if present != sorted(WRITTEN_NAMES):
            raise BenchError(f"{what}: {folder} holds {present}, expected {sorted(WRITTEN_NAMES)}")
        for name in WRITTEN_NAMES:
            if not same_bytes(folder / name, Path(payload_dir) / name):
                raise BenchError(f"{what}: {folder / name} differs from the payload's {name}")
        if listed is not None:
            expected = {name: (Path(payload_dir) / name).stat().st_size for name in WRITTEN_NAMES}
            if listed != expected:
                raise BenchError(f"{what}: the stand-in found {listed}, expected {expected}")

    def run_exe(self, kind):
        build, payload = self.builds[kind], self.payloads[kind]
        record = self.launch(f'"{self.wine.winpath(build / "qmb-setup.exe")}"',
                             {"BENCH_WAIT_EVENT": "1", "BENCH_LIST": "1", "BENCH_WAIT_MS": "120000",
                              "BENCH_WATCH_EVENT": "1"})
        self.expect_exit("the exe", record)
        if "standin_timeout" in record or "event_not_set" in record:
            raise BenchError(f"the exe: the event {READY_EVENT} was not set; record: {record}")
        expected = {name: (Path(payload) / name).stat().st_size for name in WRITTEN_NAMES}
        if listed_files(record) != expected:
            raise BenchError(f"the exe: when the event was set the staging directory held "
                             f"{listed_files(record)}, expected {expected}")
        cmdline = record.get("standin_cmdline", "")
        package = cmdline.split('/i "', 1)[1].split('"', 1)[0] if '/i "' in cmdline else ""
        if not package.endswith("\\qmb1.6.0_39.msi") or not cmdline.endswith(" WRAPPER=1"):
            raise BenchError(f"the exe: unexpected installer command line {cmdline!r}")
        staging = self.wine.unixpath(package.rsplit("\\", 1)[0])
        if staging.exists():
            raise BenchError(f"the exe: its staging directory {staging} is still there after the run")
        return {
            "exe_start": elapsed_ms(record, "launch", "standin_start"),
            "exe_ready": elapsed_ms(record, "launch", "event_set"),
            "exe_standin_ready": elapsed_ms(record, "launch", "standin_ready"),
            "exe_standin_already_set": "standin_already_set" in record,
            "exe_peak_pagefile": ticks(record, "peak_pagefile") or None,
            "exe_peak_working_set": ticks(record, "peak_working_set") or None,
        }

    def run_peer(self, kind):
        build, payload = self.builds[kind], self.payloads[kind]
        folder_win = BENCH_DIR_WIN + r"\peer"
        folder = self.wine.unixpath(folder_win)
        record = self.launch(f'"{self.wine.winpath(build / "bench" / "bench-peer.exe")}"',
                             {"BENCH_PEER_DIR": folder_win, "BENCH_LIST": "1"})
        self.expect_exit("the peer", record)
        self.expect_files("the peer", folder, payload, listed_files(record))
        expected = f'"{TOOL_DIR_WIN}\\msiexec.exe" /i "{folder_win}\\qmb1.6.0_39.msi"  WRAPPER=1'
        if record.get("standin_cmdline") != expected:
            raise BenchError(f"the peer: installer command line {record.get('standin_cmdline')!r}, "
                             f"expected {expected!r}")
        shutil.rmtree(folder)
        return {"peer_start": elapsed_ms(record, "launch", "standin_start"),
                "peer_peak_pagefile": ticks(record, "peak_pagefile") or None}

    def control(self, kind, program, what):
        build = self.builds[kind]
        record = self.launch(f'"{self.wine.winpath(build / "bench" / program)}" '
                             f'"{TOOL_DIR_WIN}\\msiexec.exe" /i "{BENCH_DIR_WIN}\\control\\qmb1.6.0_39.msi"  WRAPPER=1')
        self.expect_exit(what, record)
        return record

    def run_control(self, kind):
        record = self.control(kind, "bench-control.exe", "the control")
        return {"control_start": elapsed_ms(record, "launch", "standin_start"),
                "control_peak_pagefile": ticks(record, "peak_pagefile") or None}

    def run_libcontrol(self, kind):
        record = self.control(kind, "bench-control-libs.exe", "the control with the libraries")
        return {"libcontrol_start": elapsed_ms(record, "launch", "standin_start")}

    def run_limit(self, kind):
        build, payload = self.builds[kind], self.payloads[kind]
        folder_win = BENCH_DIR_WIN + r"\limit"
        folder = self.wine.unixpath(folder_win)
        record = self.launch(f'"{self.wine.winpath(build / "bench" / "bench-limit.exe")}" {folder_win}')
        self.expect_exit("the limit program", record)
        self.expect_files("the limit program", folder, payload)
        shutil.rmtree(folder)
        return {"limit_done": elapsed_ms(record, "launch", "limit_done"),
                "limit_entry": elapsed_ms(record, "launch", "limit_start"),
                "limit_writes": elapsed_ms(record, "limit_start", "limit_done"),
                "limit_peak_pagefile": ticks(record, "peak_pagefile") or None}

    def run_cp(self, kind):
        payload = self.payloads[kind]
        folder = self.wine.unixpath(BENCH_DIR_WIN + r"\cp")
        folder.mkdir()
        sources = [str(Path(payload) / name) for name in WRITTEN_NAMES]
        start = time.perf_counter()
        done = subprocess.run(["cp", *sources, str(folder)])
        end = time.perf_counter()
        if done.returncode != 0:
            raise BenchError(f"cp exited with {done.returncode}")
        self.expect_files("cp", folder, payload)
        shutil.rmtree(folder)
        return {"cp_done": (end - start) * 1000.0}

    def repetition(self, kind):
        run = {}
        for contender in self.contenders:
            run.update(getattr(self, f"run_{contender}")(kind))
        return run


def same_bytes(a, b, chunk=1 << 20):
    if a.stat().st_size != b.stat().st_size:
        return False
    with open(a, "rb") as fa, open(b, "rb") as fb:
        while True:
            x, y = fa.read(chunk), fb.read(chunk)
            if x != y:
                return False
            if not x:
                return True


# ----------------------------------------------------------------- report

def fmt_ms(value):
    if value is None:
        return "–"
    value = round(value, 1)
    return f"{value + 0.0:.1f} ms"


def fmt_ratio(value):
    return "–" if value is None else f"{value:.2f}x"


def fmt_bytes(value):
    return "–" if value is None else f"{int(value):,} B ({value / 1024:.1f} KiB)"


def report(results):
    """The figures as Markdown."""
    m = results["machine"]
    wide = results.get("flavour", "i586") == "amd64"
    if wide:
        setting = f"{m['wine']} (win64 prefix, every program 64-bit and run natively by wine64, persistent wineserver)"
    else:
        setting = f"{m['wine']} (win32 prefix, persistent wineserver), NSIS {m['makensis']}"
    lines = [
        f"Measured on {m['date']}: {m['cpu']}, {m['cores']} cores, {m['memory']}, Linux {m['kernel']}, "
        f"Debian {m['debian']}, {setting}, mingw-w64 gcc {m['gcc']}, build folder on {m['file_system']}; "
        f"load average {results.get('load_before', '?')} before and {results.get('load_after', '?')} after the runs. "
        f"Medians of {results['repetitions']} interleaved repetitions after {results['warmup']} warm-up "
        "(the fastest run in brackets); differences and ratios are taken within each repetition.",
        "",
        "| figure | full payload | tenth-size payload |",
        "|---|---|---|",
    ]
    payloads = results["payloads"]

    def row(label, getter, fmt=fmt_ms):
        if wide and ("peer" in label or label.startswith("handover ratio")):
            return
        cells = []
        for kind in ("full", "tenth"):
            f = payloads.get(kind, {}).get("figures")
            cells.append(fmt(getter(f)) if f else "–")
        lines.append(f"| {label} | {cells[0]} | {cells[1]} |")

    def timed(key):
        return lambda f: (f["medians_ms"][key], f["minimums_ms"][key])

    def fmt_timed(pair):
        med, low = pair
        return f"{fmt_ms(med)} ({fmt_ms(low)})"

    row("time to installer start, exe", timed("exe_start"), fmt_timed)
    row("time to installer start, peer (NSIS)", timed("peer_start"), fmt_timed)
    row("time to installer start, control", timed("control_start"), fmt_timed)
    row("time to installer start, control with the exe's libraries", timed("libcontrol_start"), fmt_timed)
    row("handover delay, exe (exe minus control)", lambda f: f["handover_exe_ms"])
    row("handover delay, peer (peer minus control)", lambda f: f["handover_peer_ms"])
    row("**handover ratio, peer / exe**", lambda f: f["handover_ratio"], fmt_ratio)
    row("handover ratio from the fastest runs", lambda f: f["handover_ratio_fastest"], fmt_ratio)
    row("of the handover: the libraries (control with libraries minus control)", lambda f: f["libraries_ms"])
    row("exe handover beyond the libraries", lambda f: f["handover_exe_beyond_libraries_ms"])
    row("exe handover beyond the libraries, from the fastest runs", lambda f: f["handover_beyond_libraries_fastest_ms"])
    row("handover ratio beyond the libraries", lambda f: f["handover_ratio_beyond_libraries"], fmt_ratio)
    row("time to ready, exe (launch to event set)", timed("exe_ready"), fmt_timed)
    row("limit program, launch to its last file closed", timed("limit_done"), fmt_timed)
    row("limit program: its entry point / its writes alone", lambda f: (f["medians_ms"]["limit_entry"],
                                                                        f["medians_ms"]["limit_writes"]),
        lambda pair: f"{fmt_ms(pair[0])} / {fmt_ms(pair[1])}")
    row("native cp of the same files", timed("cp_done"), fmt_timed)
    row("**time to ready / limit program**", lambda f: f["ready_ratio_limit"], fmt_ratio)
    row("time to ready / limit program, from the fastest runs", lambda f: f["ready_ratio_fastest"], fmt_ratio)
    row("time to ready minus limit program", lambda f: f["ready_minus_limit_ms"])
    row("time to ready / cp", lambda f: f["ready_ratio_cp"], fmt_ratio)
    row("stand-in saw the event after it was set (runs where it waited)", lambda f: f["standin_lag_ms"])
    row("runs in which the event was set before the stand-in began waiting",
        lambda f: f"{f['standin_already_set']} of {f['repetitions']}", str)
    row("**exe peak private memory** (PeakPagefileUsage), median", lambda f: f["exe_peak_pagefile"]["median"], fmt_bytes)
    row("exe peak private memory, largest", lambda f: f["exe_peak_pagefile"]["max"], fmt_bytes)
    row("exe peak working set (mapped payload pages included), median", lambda f: f["exe_peak_working_set"], fmt_bytes)
    row("peak private memory of peer / limit / control, medians",
        lambda f: " / ".join("–" if f[k] is None else f"{int(f[k]):,} B" for k in
                             ("peer_peak_pagefile", "limit_peak_pagefile", "control_peak_pagefile")), str)
    sizes = results.get("sizes", {})
    if sizes:
        cells = [fmt_bytes(sizes[k]["exe_without_payload"]) if k in sizes else "–" for k in ("full", "tenth")]
        lines.append(f"| **exe size without its payload** (exe minus the ten files) | {cells[0]} | {cells[1]} |")
        cells = [("yes" if sizes[k]["rsrc_page_aligned"] else "NO") + f", file alignment {sizes[k]['file_alignment']}"
                 if k in sizes else "–" for k in ("full", "tenth")]
        lines.append(f"| resource section page-aligned in the file | {cells[0]} | {cells[1]} |")
    lines += ["", "| goal | figure | met |", "|---|---|---|"]
    for g in results.get("goals", []):
        value = g["value"]
        if value is None:
            shown = "–"
        elif g["goal"].startswith("handover beyond"):
            shown = fmt_ms(value)
        elif g["goal"].startswith(("handover", "time to ready")):
            shown = fmt_ratio(value)
        else:
            shown = fmt_bytes(int(value))
        met = "–" if g["met"] is None else ("yes" if g["met"] else "no")
        lines.append(f"| {g['goal']} | {shown} | {met} |")
    return "\n".join(lines) + "\n"


# ----------------------------------------------------------------- main

def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--root", default=str(REPO / "build"), help="folder for payloads, builds, prefix, results")
    parser.add_argument("--reps", type=int, default=20, help="repetitions per payload (at least 10 unless --smoke)")
    parser.add_argument("--warmup", type=int, default=1, help="repetitions run first and discarded")
    parser.add_argument("--jobs", type=int, default=2, help="build jobs")
    parser.add_argument("--smoke", action="store_true", help="one repetition on the tenth-size payload, checks only")
    parser.add_argument("--flavour", choices=sorted(FLAVOURS), default="i586",
                        help="the exe to measure: the 32-bit product (i586) or the 64-bit flavour (amd64)")
    args = parser.parse_args(argv)
    flavour = FLAVOURS[args.flavour]
    if args.smoke:
        args.reps, args.warmup = 1, 0
        kinds = ["tenth"]
    else:
        if args.reps < 10:
            parser.error("--reps must be at least 10 (use --smoke for a single check)")
        kinds = ["full", "tenth"]
    root = Path(args.root).resolve()
    root.mkdir(parents=True, exist_ok=True)

    payloads, builds = {}, {}
    for kind in kinds:
        payloads[kind] = root / f"bench-payload-{kind}"
        make_payload.main([str(payloads[kind]), "--divisor", str(PAYLOADS[kind])])
    for kind in kinds:
        builds[kind] = build_product(root, kind, payloads[kind], args.jobs, flavour)

    results = {"machine": machine_description(root, flavour), "flavour": flavour.name, "repetitions": args.reps,
               "warmup": args.warmup, "payloads": {}, "sizes": {}}
    for kind in kinds:
        results["sizes"][kind] = size_figures(builds[kind] / "qmb-setup.exe", payloads[kind])

    results["load_before"] = f"{os.getloadavg()[0]:.2f}"
    wine = Wine(root / f"bench-prefix{flavour.tag}", flavour.loader, flavour.arch)
    try:
        wine.setup()
        bench = Bench(wine, builds, payloads, flavour.contenders)
        bench.prepare()
        subprocess.run(["sync"])
        for kind in kinds:
            log(f"== {kind} payload: {args.warmup} warm-up and {args.reps} repetitions of "
                f"{', '.join(flavour.contenders)}")
            for _ in range(args.warmup):
                bench.repetition(kind)
            runs = []
            for i in range(args.reps):
                run = bench.repetition(kind)
                runs.append(run)
                log(f"  {i + 1:2}: exe start {run['exe_start']:6.1f} ready {run['exe_ready']:6.1f} | "
                    f"peer {run.get('peer_start', float('nan')):6.1f} | control {run['control_start']:5.1f} "
                    f"libs {run['libcontrol_start']:5.1f} | limit {run['limit_done']:6.1f} | "
                    f"cp {run['cp_done']:5.1f} ms | exe peak private {run['exe_peak_pagefile'] or 0:,} B")
            results["payloads"][kind] = {"runs": runs, "figures": figures(runs)}
    finally:
        wine.stop()

    results["load_after"] = f"{os.getloadavg()[0]:.2f}"
    results["goals"] = goals(results)
    text = report(results)
    print()
    print(text)
    if not args.smoke:
        (root / f"{flavour.results}.json").write_text(json.dumps(results, indent=1) + "\n")
        (root / f"{flavour.results}.md").write_text(text)
        log(f"results: {root / (flavour.results + '.md')} and {root / (flavour.results + '.json')}")
    else:
        log("smoke run: every program ran, recorded its times and wrote identical files")
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main(sys.argv[1:]))
    except (BenchError, subprocess.CalledProcessError) as error:
        print(f"bench: FAILED: {error}", file=sys.stderr)
        sys.exit(1)
