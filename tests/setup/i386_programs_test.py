#!/usr/bin/env python3
"""The set-up's decisions on whether 32-bit programs run, on recorded probe
outputs and binfmt_misc entries; no test runs the probe or registers anything."""
import os
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "scripts"))
import i386_programs  # noqa: E402

I386_MAGIC = "magic 7f454c4601010100000000000000000002000300\nmask fffffffffffefe00fffffffffffffffffeffffff\n"
# As the kernel shows them under /proc/sys/fs/binfmt_misc.
WORKING = "enabled\ninterpreter /usr/bin/qemu-i386\nflags: F\noffset 0\n" + I386_MAGIC
STALE = "enabled\ninterpreter /usr/libexec/qemu-binfmt/i386-binfmt-P\nflags: P\noffset 0\n" + I386_MAGIC
DISABLED = "disabled\ninterpreter /usr/bin/qemu-i386\nflags: F\noffset 0\n" + I386_MAGIC
ARM = ("enabled\ninterpreter /usr/bin/qemu-arm\nflags: F\noffset 0\n"
       "magic 7f454c4601010100000000000000000002002800\nmask ffffffffffffff00fffffffffffffffffeffffff\n")

ENOEXEC = "enable-i386.sh: line 28: probe: cannot execute binary file: Exec format error\n"
ENOENT = "enable-i386.sh: line 28: probe: cannot execute: required file not found\n"
SEGV = "qemu: uncaught target signal 11 (Segmentation fault) - core dumped\n"

QEMU_10 = "qemu-i386 version 10.0.2 (Debian 1:10.0.2+ds-1~bpo12+1)\n"
QEMU_7 = "qemu-i386 version 7.2.19 (Debian 1:7.2+dfsg-7+deb12u18)\n"


class Decide(unittest.TestCase):
    def test_rows(self):
        present = {"/usr/bin/qemu-i386"}
        rows = [
            # name, probe exit code, probe stderr, entries, interpreter's --version, decision
            ("kernel runs them", 42, "", {}, QEMU_10, ("native", "")),
            ("kernel runs them, other emulators only", 42, "", {"qemu-arm": ARM}, QEMU_10, ("native", "")),
            ("refused, nothing registered", 126, ENOEXEC, {"qemu-arm": ARM}, QEMU_10, ("register", "")),
            ("refused, the entry is disabled", 126, ENOEXEC, {"qemu-i386": DISABLED}, QEMU_10, ("register", "")),
            ("a working registration", 42, "", {"qemu-i386": WORKING}, QEMU_10, ("emulated", "qemu-i386")),
            ("its interpreter gone, without F", 127, ENOENT, {"i386": STALE}, QEMU_10, ("remove", "i386")),
            ("an old qemu registered", 42, "", {"qemu-i386": WORKING}, QEMU_7, ("remove", "qemu-i386")),
            ("a registration whose program crashes", 139, SEGV, {"qemu-i386": WORKING}, QEMU_10,
             ("remove", "qemu-i386")),
        ]
        for name, rc, err, texts, version, expected in rows:
            with self.subTest(name), tempfile.TemporaryDirectory() as d:
                for entry, text in texts.items():
                    with open(os.path.join(d, entry), "w") as f:
                        f.write(text)
                for special in ("register", "status"):
                    open(os.path.join(d, special), "w").close()
                got = i386_programs.decide(rc, err, i386_programs.read_entries(d),
                                           exists=lambda p: p in present, version_of=lambda p: version)
                self.assertEqual(got, expected)

    def test_registration_takes_the_probe(self):
        with tempfile.TemporaryDirectory() as d:
            for name, text in (("i386", WORKING), ("arm", ARM)):
                with open(os.path.join(d, name), "w") as f:
                    f.write(text)
            entries = i386_programs.read_entries(d)
        self.assertTrue(i386_programs._matches_i386(entries["i386"]))
        self.assertFalse(i386_programs._matches_i386(entries["arm"]))
        self.assertEqual(entries["i386"]["magic"], i386_programs.MAGIC.hex())
        self.assertEqual(entries["i386"]["mask"], i386_programs.MASK.hex())
        line = i386_programs.register_line("/usr/bin/qemu-i386")
        self.assertTrue(line.startswith(":qemu-i386:M::\\x7f\\x45\\x4c\\x46\\x01\\x01\\x01"))
        self.assertTrue(line.endswith(":/usr/bin/qemu-i386:F"))


class BackportsSource(unittest.TestCase):
    def test_from_the_entry_that_serves_the_release(self):
        rows = [
            ("deb822", "sources.list.d/debian.sources",
             "Types: deb\nURIs: http://deb.debian.org/debian-security\nSuites: bookworm-security\n"
             "Components: main\n\n"
             "Types: deb\n# a comment\nURIs: http://mirror.example/debian\nSuites: bookworm bookworm-updates\n"
             "Components: main contrib\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n",
             "Types: deb\nURIs: http://mirror.example/debian\nSuites: bookworm-backports\nComponents: main\n"
             "Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg\n"),
            ("one-line", "sources.list",
             "# deb http://old.example/debian bookworm main\n"
             "deb [arch=amd64 signed-by=/k.gpg] http://mirror.example/debian bookworm main\n",
             "Types: deb\nURIs: http://mirror.example/debian\nSuites: bookworm-backports\nComponents: main\n"
             "Signed-By: /k.gpg\n"),
            ("no entry for the release", "sources.list", "deb http://mirror.example/debian trixie main\n", None),
        ]
        for name, path, text, expected in rows:
            with self.subTest(name), tempfile.TemporaryDirectory() as d:
                os.makedirs(os.path.join(d, "sources.list.d"))
                with open(os.path.join(d, path), "w") as f:
                    f.write(text)
                self.assertEqual(i386_programs.backports_source(d, "bookworm"), expected)


if __name__ == "__main__":
    unittest.main()
