#!/usr/bin/env python3
"""Host-side tests of the benchmark's runner: the record format, the figures
and their pairing, the goals, the PE size figures and the payload maker."""
import os
import struct
import sys
import tempfile
import unittest
from pathlib import Path

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import bench  # noqa: E402
import make_payload  # noqa: E402


class RecordTest(unittest.TestCase):
    def test_parse(self):
        text = ("freq 10000000\r\nlaunch 100\nstandin_start 350\n"
                "standin_cmdline \"C:\\t\\msiexec.exe\" /i \"C:\\a b\\p.msi\"  WRAPPER=1\n"
                "file ss160390.cab 17643908\nfile name with blanks.cab 5\n\n")
        record = bench.parse_record(text)
        self.assertEqual(record["freq"], "10000000")
        self.assertEqual(record["standin_cmdline"], "\"C:\\t\\msiexec.exe\" /i \"C:\\a b\\p.msi\"  WRAPPER=1")
        self.assertEqual(bench.listed_files(record), {"ss160390.cab": 17643908, "name with blanks.cab": 5})

    def test_a_key_twice_is_an_error(self):
        # Two programs recording the same key would make a figure ambiguous.
        with self.assertRaises(bench.BenchError):
            bench.parse_record("launch 1\nlaunch 2\n")

    def test_elapsed(self):
        record = {"freq": "10000000", "launch": "1000", "standin_start": "251000"}
        self.assertAlmostEqual(bench.elapsed_ms(record, "launch", "standin_start"), 25.0)
        rows = [
            ("missing key", {"freq": "1000", "launch": "1"}, "standin_start"),
            ("end before start", {"freq": "1000", "launch": "10", "standin_start": "9"}, "before"),
            ("no frequency", {"freq": "0", "launch": "1", "standin_start": "2"}, "frequency"),
            ("not a number", {"freq": "1000", "launch": "x", "standin_start": "2"}, "not a number"),
        ]
        for case, record, text in rows:
            with self.subTest(case):
                with self.assertRaises(bench.BenchError, msg=case) as caught:
                    bench.elapsed_ms(record, "launch", "standin_start")
                self.assertIn(text, str(caught.exception), case)


def run(exe_start, peer_start, control_start, libcontrol_start, exe_ready, limit_done, cp_done=10.0,
        exe_memory=4_000_000):
    return {"limit_entry": 8.0, "limit_writes": limit_done - 8.0, "exe_start": exe_start, "peer_start": peer_start, "control_start": control_start,
            "libcontrol_start": libcontrol_start, "exe_ready": exe_ready, "limit_done": limit_done,
            "cp_done": cp_done, "exe_peak_pagefile": exe_memory, "exe_standin_ready": exe_ready + 0.5}


class FiguresTest(unittest.TestCase):
    def test_differences_and_ratios_are_paired_by_repetition(self):
        runs = [
            # A slow repetition: everything took longer, the ratio stays 10.
            run(exe_start=150, peer_start=240, control_start=140, libcontrol_start=145, exe_ready=300, limit_done=200),
            run(exe_start=52, peer_start=140, control_start=40, libcontrol_start=45, exe_ready=90, limit_done=60),
            run(exe_start=51, peer_start=130, control_start=50, libcontrol_start=50, exe_ready=66, limit_done=55),
        ]
        f = bench.figures(runs)
        # Handover delays per repetition: exe 10, 12, 1; peer 100, 100, 80.
        self.assertEqual(f["handover_exe_ms"], 10)
        self.assertEqual(f["handover_peer_ms"], 100)
        # Ratios per repetition 10, 8.33, 80: the median of the ratios, not
        # the ratio of the medians (10).
        self.assertAlmostEqual(f["handover_ratio"], 10.0)
        # Ready ratios 1.5, 1.5, 1.2.
        self.assertAlmostEqual(f["ready_ratio_limit"], 1.5)
        self.assertEqual(f["medians_ms"]["exe_start"], 52)
        self.assertEqual(f["minimums_ms"]["exe_start"], 51)
        self.assertEqual(f["libraries_ms"], 5)
        self.assertEqual(f["handover_exe_beyond_libraries_ms"], 5)

    def test_fastest_runs(self):
        runs = [run(60, 150, 30, 35, 90, 70), run(40, 170, 20, 30, 80, 50), run(50, 120, 25, 40, 70, 60)]
        f = bench.figures(runs)
        # Fastest: exe 40, peer 120, control 20: (120 - 20) / (40 - 20).
        self.assertAlmostEqual(f["handover_ratio_fastest"], 5.0)
        # Fastest ready 70 against the fastest limit 50.
        self.assertAlmostEqual(f["ready_ratio_fastest"], 1.4)
        # Fastest exe 40 against the fastest control with the libraries 30.
        self.assertAlmostEqual(f["handover_beyond_libraries_fastest_ms"], 10.0)

    def test_nonpositive_exe_delay_gives_no_ratio(self):
        f = bench.figures([run(40, 140, 40, 40, 60, 50)])
        self.assertIsNone(f["handover_ratio"])

    def test_unpaired_series_are_an_error(self):
        with self.assertRaises(bench.BenchError):
            bench.pairwise([1, 2], [1], lambda a, b: a - b)

    def test_goals(self):
        def results(ratio, ready, full_memory, tenth_memory, size):
            return {"payloads": {"full": {"figures": {"handover_ratio": ratio, "ready_ratio_limit": ready,
                                                      "exe_peak_pagefile": {"median": full_memory}}},
                                 "tenth": {"figures": {"exe_peak_pagefile": {"median": tenth_memory}}}},
                    "sizes": {"full": {"exe_without_payload": size}}}

        met = [g["met"] for g in bench.goals(results(20.0, 1.15, 4_000_000 + (1 << 20) - 1, 4_000_000, 65535))]
        self.assertEqual(met, [True, True, True, True], "every figure on its limit's good side")
        met = [g["met"] for g in bench.goals(results(19.9, 1.16, 4_000_000 + (1 << 20), 4_000_000, 65536))]
        self.assertEqual(met, [False, False, False, False], "every figure just past its limit")

        # The 64-bit flavour: its handover beyond the control with the same
        # libraries, and a larger size limit.
        def results64(beyond, ready, full_memory, tenth_memory, size):
            r = results(None, ready, full_memory, tenth_memory, size)
            r["flavour"] = "amd64"
            r["payloads"]["full"]["figures"]["handover_exe_beyond_libraries_ms"] = beyond
            return r

        met = [g["met"] for g in bench.goals(results64(3.0, 1.15, 4_000_000 + (1 << 20) - 1, 4_000_000, 98303))]
        self.assertEqual(met, [True, True, True, True], "64-bit: every figure on its limit's good side")
        met = [g["met"] for g in bench.goals(results64(3.01, 1.16, 4_000_000 + (1 << 20), 4_000_000, 98304))]
        self.assertEqual(met, [False, False, False, False], "64-bit: every figure just past its limit")


def tiny_image(sections, file_alignment=512):
    """A PE32 header with the given (name, raw offset, raw size, virtual size)."""
    data = bytearray(0x400)
    data[:2] = b"MZ"
    struct.pack_into("<I", data, 0x3C, 0x80)
    data[0x80:0x84] = b"PE\0\0"
    struct.pack_into("<HH12xH", data, 0x84, 0x14C, len(sections), 224)
    struct.pack_into("<II", data, 0x98 + 32, 4096, file_alignment)
    struct.pack_into("<I", data, 0x98 + 60, 0x400)
    for i, (name, offset, raw, virtual) in enumerate(sections):
        entry = 0x98 + 224 + 40 * i
        data[entry:entry + 8] = name.encode().ljust(8, b"\0")
        struct.pack_into("<IIII", data, entry + 8, virtual, 0x1000 * (i + 1), raw, offset)
    end = max(offset + raw for _, offset, raw, _ in sections)
    return bytes(data) + bytes(end - len(data))


class SizeTest(unittest.TestCase):
    def test_exe_without_payload(self):
        with tempfile.TemporaryDirectory() as d:
            payload = Path(d) / "payload"
            payload.mkdir()
            total = 0
            for i, name in enumerate(bench.PAYLOAD_NAMES):
                (payload / name).write_bytes(bytes(100 + i))
                total += 100 + i
            rows = [
                ("resource section on a page", 0x1000, True),
                ("resource section off a page", 0x1200, False),
            ]
            for case, rsrc_offset, aligned in rows:
                with self.subTest(case):
                    image = tiny_image([(".text", 0x400, 0x200, 0x180),
                                        (".rsrc", rsrc_offset, 0x800, total + 300)])
                    exe = Path(d) / "x.exe"
                    exe.write_bytes(image)
                    sizes = bench.size_figures(exe, payload)
                    self.assertEqual(sizes["exe_without_payload"], len(image) - total, case)
                    self.assertEqual(sizes["rsrc_page_aligned"], aligned, case)
                    self.assertEqual(sizes["rsrc_without_payload"], 300, case)
                    self.assertEqual(sizes["file_alignment"], 512, case)

    def test_not_an_image(self):
        with self.assertRaises(bench.BenchError):
            bench.pe_layout(b"MZ" + bytes(0x100))


class CheckTest(unittest.TestCase):
    """The checks each run gets: the files a contender wrote, and the paths."""

    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        root = Path(self.dir.name)
        self.payload = root / "payload"
        make_payload.main([str(self.payload), "--divisor", "100"])
        self.wine = bench.Wine(root / "prefix")
        self.bench = bench.Bench(self.wine, {}, {})
        self.out = root / "out"
        self.out.mkdir()
        for name in bench.WRITTEN_NAMES:
            (self.out / name).write_bytes((self.payload / name).read_bytes())

    def tearDown(self):
        self.dir.cleanup()

    def sizes(self):
        return {name: (self.payload / name).stat().st_size for name in bench.WRITTEN_NAMES}

    def test_a_faithful_copy_passes(self):
        self.bench.expect_files("copy", self.out, self.payload, self.sizes())

    def test_faults_are_caught(self):
        def extra(d):
            (d / "au.msi").write_bytes(b"x")

        def missing(d):
            (d / "sr160390.cab").unlink()

        def changed_byte(d):
            data = bytearray((d / "st160390.cab").read_bytes())
            data[-1] ^= 1
            (d / "st160390.cab").write_bytes(bytes(data))

        def short(d):
            data = (d / "qmb1.6.0_39.msi").read_bytes()
            (d / "qmb1.6.0_39.msi").write_bytes(data[:-1])

        rows = [("an extra file", extra, "holds"), ("a missing cabinet", missing, "holds"),
                ("one byte changed", changed_byte, "differs"), ("a short package", short, "differs")]
        for case, fault, text in rows:
            with self.subTest(case):
                self.setUp()
                fault(self.out)
                with self.assertRaises(bench.BenchError, msg=case) as caught:
                    self.bench.expect_files("copy", self.out, self.payload)
                self.assertIn(text, str(caught.exception), case)

    def test_stand_in_listing_must_match(self):
        listed = self.sizes()
        listed["sb160390.cab"] -= 1  # seen before it was complete
        with self.assertRaises(bench.BenchError):
            self.bench.expect_files("copy", self.out, self.payload, listed)

    def test_paths(self):
        self.assertEqual(bench.Wine.winpath("/a/b c/x.exe"), "Z:\\a\\b c\\x.exe")
        self.assertEqual(self.wine.unixpath("C:\\qmb-bench\\peer"), self.wine.prefix / "drive_c/qmb-bench/peer")
        with self.assertRaises(bench.BenchError):
            self.wine.unixpath("Z:\\tmp")


class ReportTest(unittest.TestCase):
    def test_goals_and_missing_figures(self):
        runs = [run(50, 120, 20, 35, 80, 50)]
        results = {"machine": {k: "m" for k in ("date", "cpu", "cores", "memory", "kernel", "debian", "wine",
                                                 "makensis", "gcc", "file_system")},
                   "repetitions": 1, "warmup": 0, "payloads": {"full": {"figures": bench.figures(runs)}},
                   "sizes": {"full": {"exe_without_payload": 70000, "rsrc_page_aligned": True,
                                      "file_alignment": 512}}}
        results["goals"] = bench.goals(results)
        text = bench.report(results)
        self.assertIn("| handover delay at least 20x shorter than the peer's (full payload) | 3.33x | no |", text)
        self.assertIn("| the exe without payload under 64 KB | 70,000 B (68.4 KiB) | no |", text)
        self.assertIn("| time to installer start, exe | 50.0 ms (50.0 ms) | – |", text)
        self.assertNotIn("memory growth", text, "no goal without the tenth-size payload")


class PayloadTest(unittest.TestCase):
    def test_sizes_and_signatures(self):
        with tempfile.TemporaryDirectory() as d:
            for divisor in (1, 10):
                out = Path(d) / f"p{divisor}"
                self.assertEqual(make_payload.main([str(out), "--divisor", str(divisor)]), 0)
                for name, size in make_payload.CATALOGUE:
                    data = (out / name).read_bytes()
                    label = f"{name} / {divisor}"
                    self.assertEqual(len(data), size // divisor, label)
                    head = bytes.fromhex("d0cf11e0a1b11ae1") if name.endswith(".msi") else b"MSCF"
                    self.assertEqual(data[:len(head)], head, label)
                    # Random content: no long run of one byte after the head.
                    body = data[len(head):len(head) + 4096]
                    self.assertGreater(len(set(body)), min(200, len(body) // 2), label)

    def test_catalogue_sizes(self):
        sizes = dict(make_payload.CATALOGUE)
        self.assertEqual(sizes["qmb1.6.0_39.msi"], 532_992)
        self.assertEqual(sizes["st160390.cab"], 29_875_680)
        self.assertEqual(sum(sizes.values()), 72_999_099)
        self.assertEqual(bench.WRITTEN_NAMES, ["qmb1.6.0_39.msi", "ss160390.cab", "st160390.cab", "sj160390.cab",
                                               "sp160390.cab", "sz160390.cab", "sb160390.cab", "sr160390.cab"])

    def test_same_seed_same_bytes_and_stale_files_rewritten(self):
        with tempfile.TemporaryDirectory() as d:
            make_payload.main([d, "--divisor", "100"])
            first = (Path(d) / "ss160390.cab").read_bytes()
            (Path(d) / "ss160390.cab").write_bytes(b"MSCF stale")
            make_payload.main([d, "--divisor", "100"])
            self.assertEqual((Path(d) / "ss160390.cab").read_bytes(), first)

    def test_too_small_for_its_signature(self):
        with self.assertRaises(ValueError):
            make_payload.content("x.msi", 7, "s")


if __name__ == "__main__":
    unittest.main()
