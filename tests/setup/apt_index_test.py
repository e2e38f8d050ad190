#!/usr/bin/env python3
"""The set-up's decisions on recorded apt-get outputs; no test runs apt-get."""
import os
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "scripts"))
import apt_index  # noqa: E402

# What `apt-get update -qq --error-on=any` prints (the set-up's options):
# only errors, no Get:/Err: lines. A mirror in mid-sync, fetched by hash as
# Debian's archive serves its indexes (Acquire-By-Hash):
MID_SYNC = """\
E: Failed to fetch http://deb.debian.org/debian-security/dists/bookworm-security/main/binary-i386/by-hash/SHA256/\
1986674ae236d9f8759ada323476c0ad36e0d4d805a9e9e7183fbaecf6c5c7cd  File has unexpected size (374820 != 376004). \
Mirror sync in progress? [IP: 203.0.113.80 80]
   Hashes of expected file:
    - Filesize:376004 [weak]
    - SHA256:1986674ae236d9f8759ada323476c0ad36e0d4d805a9e9e7183fbaecf6c5c7cd
   Release file created at: Sat, 10 Jun 2023 08:33:14 +0000
E: Some index files failed to download. They have been ignored, or old ones used instead.
"""
TRANSIENT = """\
E: Failed to fetch http://deb.debian.org/debian/dists/bookworm/InRelease  Temporary failure resolving 'deb.debian.org'
E: Some index files failed to download. They have been ignored, or old ones used instead.
"""
NO_RELEASE = ("E: The repository 'http://deb.debian.org/debian bookworm-backports Release' does not have a "
              "Release file.\n")
EXPIRED = ("E: Release file for http://deb.debian.org/debian/dists/bookworm-updates/InRelease is expired "
           "(invalid since 2d 0h 0min 6s). Updates for this repository will not be applied.\n")
NOT_YET = ("E: Release file for http://deb.debian.org/debian-security/dists/bookworm-security/InRelease is not "
           "valid yet (invalid for another 2d 23h 59min 44s). Updates for this repository will not be applied.\n")
CHANGED = """\
W: Conflicting distribution: http://deb.debian.org/debian bookworm InRelease (expected bookworm but got trixie)
E: Repository 'http://deb.debian.org/debian bookworm InRelease' changed its 'Codename' value from 'bookworm' to 'trixie'
"""
VERSION_NOTICE = "N: Repository 'http://deb.debian.org/debian bookworm InRelease' changed its 'Version' value from " \
                 "'12.10' to '12.11'\n"
# A mirror+file: source: apt names the mirror it fetched from.
MIRROR = ("E: Failed to fetch http://mirror.example/debian/dists/bookworm/main/binary-i386/Packages.xz  File has "
          "unexpected size (1 != 2). Mirror sync in progress? [IP: 203.0.113.9 80]\n")
FLAT = "E: Failed to fetch http://repo.example/flat/InRelease  Temporary failure resolving 'repo.example'\n"
CLEAN = ""

HELD_BROKEN = """\
The following packages have unmet dependencies:
 libcurl4:i386 : Depends: libssl3:i386 (>= 3.0.0) but it is not going to be installed
E: Unable to correct problems, you have held broken packages.
"""
NO_CANDIDATE = "E: Package 'wine32:i386' has no installation candidate\n"
DOWNLOAD = "E: Failed to fetch http://deb.debian.org/debian/pool/main/w/wine/wine_8.0.deb  Connection failed\n"
LOCKED = "E: Could not get lock /var/lib/dpkg/lock-frontend. It is held by process 42 (apt-get)\n"

SEC = ("http://deb.debian.org/debian-security", "bookworm-security")
MAIN = ("http://deb.debian.org/debian", "bookworm")


class Decisions(unittest.TestCase):
    def test_failed_indexes_and_retry(self):
        rows = [
            # update output, install output, failed indexes, retry without them
            ("mid-sync, held broken", MID_SYNC, HELD_BROKEN, [SEC + ("main", "i386")], True),
            ("mid-sync, no candidate", MID_SYNC, NO_CANDIDATE, [SEC + ("main", "i386")], True),
            ("mid-sync, a download failed", MID_SYNC, DOWNLOAD, [SEC + ("main", "i386")], False),
            ("mid-sync, dpkg locked", MID_SYNC, LOCKED, [SEC + ("main", "i386")], False),
            ("a name not resolved", TRANSIENT, HELD_BROKEN, [MAIN + (None, None)], True),
            ("no Release file", NO_RELEASE, HELD_BROKEN,
             [("http://deb.debian.org/debian", "bookworm-backports", None, None)], True),
            ("a Release file expired", EXPIRED, NO_CANDIDATE,
             [("http://deb.debian.org/debian", "bookworm-updates", None, None)], True),
            ("a Release file not valid yet", NOT_YET, HELD_BROKEN, [SEC + (None, None)], True),
            ("a changed Codename", CHANGED, HELD_BROKEN, [MAIN + (None, None)], True),
            ("a changed Version is only a notice", VERSION_NOTICE, HELD_BROKEN, [], False),
            ("a flat repository: a URL of no suite", FLAT, HELD_BROKEN,
             [("http://repo.example/flat/InRelease", None, None, None)], False),
            ("clean update, held broken", CLEAN, HELD_BROKEN, [], False),
        ]
        for name, update, install, indexes, retry in rows:
            with self.subTest(name):
                self.assertEqual(apt_index.failed_indexes(update), indexes)
                self.assertEqual(apt_index.should_retry(update, install), retry)

    def write_sources(self, update, one_line, deb822):
        """write_sources on a machine with these sources; returns the suites
        left out and the texts written."""
        with tempfile.TemporaryDirectory() as etc, tempfile.TemporaryDirectory() as out:
            os.makedirs(os.path.join(etc, "sources.list.d"))
            for name, text in (("sources.list", one_line), ("sources.list.d/debian.sources", deb822),
                               ("sources.list.d/x.list.disabled", one_line)):
                with open(os.path.join(etc, name), "w") as f:
                    f.write(text)
            left_out = apt_index.write_sources(update, etc, out)
            self.assertEqual(sorted(os.listdir(os.path.join(out, "sources.list.d"))), ["debian.sources"])
            return (left_out, apt_index._read(os.path.join(out, "sources.list")),
                    apt_index._read(os.path.join(out, "sources.list.d", "debian.sources")))

    def test_sources_without_the_failed_suite(self):
        key = "Signed-By:\n -----BEGIN PGP PUBLIC KEY BLOCK-----\n .\n mDMEZ\n -----END PGP PUBLIC KEY BLOCK-----\n"
        deb822 = ("Types: deb\nURIs: http://deb.debian.org/debian\nSuites: bookworm bookworm-updates\n"
                  "Components: main\n" + key + "\n"
                  "Types: deb\n# a comment\nURIs: http://deb.debian.org/debian-security/\n"
                  "Suites: bookworm-security\nComponents: main\nSigned-By: /k.gpg\n")
        one_line = ("deb http://deb.debian.org/debian bookworm main\n"
                    "deb [arch=amd64,i386] http://deb.debian.org/debian-security bookworm-security main\n"
                    "deb http://deb.debian.org/debian-security bookworm-security-extra main\n")
        left_out, listed, stanzas = self.write_sources(MID_SYNC, one_line, deb822)
        self.assertEqual(left_out, [SEC])
        self.assertEqual(listed, "deb http://deb.debian.org/debian bookworm main\n"
                                 "deb http://deb.debian.org/debian-security bookworm-security-extra main\n")
        # The kept stanza keeps its Signed-By, an inline key of several lines.
        self.assertEqual(stanzas, "Types: deb\nURIs: http://deb.debian.org/debian\n"
                                  "Suites: bookworm bookworm-updates\nComponents: main\n" + key)
        # A stanza of two URIs loses the failed suite of one only.
        two = "URIs: http://a/debian http://deb.debian.org/debian-security\nSuites: bookworm-security\n"
        self.assertEqual(apt_index.filter_deb822(two, [SEC], []),
                         "URIs: http://a/debian\nSuites: bookworm-security\n")
        # A mirror+file: source: the failure names the mirror, no entry does,
        # so nothing is left out (and install-deps.sh does not retry).
        mirror = "Types: deb\nURIs: mirror+file:///etc/apt/mirrors/debian.list\nSuites: bookworm\nComponents: main\n"
        self.assertEqual(self.write_sources(MIRROR, "", mirror), ([], "", mirror))


if __name__ == "__main__":
    unittest.main()
