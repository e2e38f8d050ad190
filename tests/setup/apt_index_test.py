#!/usr/bin/env python3
"""The set-up's decisions on recorded apt-get outputs; no test runs apt-get."""
import os
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "scripts"))
import apt_index  # noqa: E402

MID_SYNC = """\
Get:3 http://deb.debian.org/debian-security bookworm-security InRelease [34.8 kB]
Ign:4 http://deb.debian.org/debian-security bookworm-security/main i386 Packages
Err:4 http://deb.debian.org/debian-security bookworm-security/main i386 Packages
  File has unexpected size (374820 != 376004). Mirror sync in progress? [IP: 203.0.113.80 80]
Reading package lists...
E: Failed to fetch http://deb.debian.org/debian-security/dists/bookworm-security/main/binary-i386/Packages.xz  File has unexpected size (374820 != 376004). Mirror sync in progress? [IP: 203.0.113.80 80]
E: Some index files failed to download. They have been ignored, or old ones used instead.
"""
RELEASE_GONE = """\
Err:2 http://deb.debian.org/debian bookworm-updates InRelease
  404  Not Found [IP: 203.0.113.80 80]
W: Failed to fetch http://deb.debian.org/debian/dists/bookworm-updates/InRelease  404  Not Found
"""
CLEAN = "Hit:1 http://deb.debian.org/debian bookworm InRelease\nReading package lists...\n"

HELD_BROKEN = """\
The following packages have unmet dependencies:
 libcurl4:i386 : Depends: libssl3:i386 (>= 3.0.0) but it is not going to be installed
E: Unable to correct problems, you have held broken packages.
"""
NO_CANDIDATE = "E: Package 'wine32:i386' has no installation candidate\n"
DOWNLOAD = "E: Failed to fetch http://deb.debian.org/debian/pool/main/w/wine/wine_8.0.deb  Connection failed\n"
LOCKED = "E: Could not get lock /var/lib/dpkg/lock-frontend. It is held by process 42 (apt-get)\n"

SEC = ("http://deb.debian.org/debian-security", "bookworm-security")


class Decisions(unittest.TestCase):
    def test_failed_indexes_and_retry(self):
        rows = [
            # update output, install output, failed indexes, retry without them
            ("mid-sync, held broken", MID_SYNC, HELD_BROKEN, [SEC + ("main", "i386")], True),
            ("mid-sync, no candidate", MID_SYNC, NO_CANDIDATE, [SEC + ("main", "i386")], True),
            ("mid-sync, a download failed", MID_SYNC, DOWNLOAD, [SEC + ("main", "i386")], False),
            ("mid-sync, dpkg locked", MID_SYNC, LOCKED, [SEC + ("main", "i386")], False),
            ("a Release file gone", RELEASE_GONE, HELD_BROKEN,
             [("http://deb.debian.org/debian", "bookworm-updates", None, None)], True),
            ("clean update, held broken", CLEAN, HELD_BROKEN, [], False),
        ]
        for name, update, install, indexes, retry in rows:
            with self.subTest(name):
                self.assertEqual(apt_index.failed_indexes(update), indexes)
                self.assertEqual(apt_index.should_retry(update, install), retry)

    def test_sources_without_the_failed_suite(self):
        deb822 = ("Types: deb\nURIs: http://deb.debian.org/debian\nSuites: bookworm bookworm-updates\n"
                  "Components: main\n\n"
                  "Types: deb\n# a comment\nURIs: http://deb.debian.org/debian-security/\n"
                  "Suites: bookworm-security\nComponents: main\nSigned-By: /k.gpg\n")
        one_line = ("deb http://deb.debian.org/debian bookworm main\n"
                    "deb [arch=amd64,i386] http://deb.debian.org/debian-security bookworm-security main\n"
                    "deb http://deb.debian.org/debian-security bookworm-security-extra main\n")
        with tempfile.TemporaryDirectory() as etc, tempfile.TemporaryDirectory() as out:
            os.makedirs(os.path.join(etc, "sources.list.d"))
            with open(os.path.join(etc, "sources.list"), "w") as f:
                f.write(one_line)
            with open(os.path.join(etc, "sources.list.d", "debian.sources"), "w") as f:
                f.write(deb822)
            with open(os.path.join(etc, "sources.list.d", "x.list.disabled"), "w") as f:
                f.write(one_line)
            left_out = apt_index.write_sources(MID_SYNC, etc, out)
            self.assertEqual(left_out, [SEC])
            self.assertEqual(sorted(os.listdir(os.path.join(out, "sources.list.d"))), ["debian.sources"])
            self.assertEqual(apt_index._read(os.path.join(out, "sources.list")),
                             "deb http://deb.debian.org/debian bookworm main\n"
                             "deb http://deb.debian.org/debian-security bookworm-security-extra main\n")
            self.assertEqual(apt_index._read(os.path.join(out, "sources.list.d", "debian.sources")),
                             "Types: deb\nURIs: http://deb.debian.org/debian\n"
                             "Suites: bookworm bookworm-updates\nComponents: main\n")
        # A stanza of two URIs loses the failed suite of one only.
        two = "URIs: http://a/debian http://deb.debian.org/debian-security\nSuites: bookworm-security\n"
        self.assertEqual(apt_index.filter_deb822(two, [SEC]),
                         "URIs: http://a/debian\nSuites: bookworm-security\n")


if __name__ == "__main__":
    unittest.main()
