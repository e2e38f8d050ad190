#!/usr/bin/env python3
"""The set-up's decisions on recorded apt-get outputs, and what install-deps.sh
prints and logs, run whole with stand-ins for apt-get and dpkg; no test runs
apt-get or changes the machine."""
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

SCRIPTS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts")
sys.path.insert(0, SCRIPTS)
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

# What apt-get install -qq keeps of dpkg's output.
SET_UP = """\
Selecting previously unselected package wine32:i386.
(Reading database ... 45%
Unpacking wine32:i386 (8.0~repack-4) ...
Setting up libwine:i386 (8.0~repack-4) ...
Setting up wine32:i386 (8.0~repack-4) ...
Setting up libwine:i386 (8.0~repack-4) ...
Processing triggers for libc-bin (2.36-9+deb12u10) ...
"""

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

    def test_packages_set_up(self):
        self.assertEqual(apt_index.packages_set_up(SET_UP), ["libwine:i386", "wine32:i386"])
        self.assertEqual(apt_index.packages_set_up(HELD_BROKEN), [])

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


# Stand-ins: dpkg knows the packages of FAKE_PRESENT ("all": every one) and,
# after an install, every one; apt-get update prints FAKE_UPDATE_OUTPUT's
# file and fails with it; apt-get install prints a thousand lines of
# progress, sets up three packages, and fails with FAKE_INSTALL_ERROR.
FAKE_DPKG = """#!/bin/sh
case "$1" in
  -s) [ "$FAKE_PRESENT" = all ] || [ -f "$FAKE_DIR/installed" ] && exit 0
      for p in $FAKE_PRESENT; do [ "$p" = "$2" ] && exit 0; done; exit 1 ;;
  --print-foreign-architectures) [ -f "$FAKE_DIR/i386" ] && echo i386; exit 0 ;;
  --add-architecture) touch "$FAKE_DIR/i386"; exit 0 ;;
esac
exit 2
"""
FAKE_APT_GET = """#!/bin/sh
echo "$*" >>"$FAKE_DIR/apt-get"
case " $* " in
  *" update "*) [ -z "$FAKE_UPDATE_OUTPUT" ] || { cat "$FAKE_UPDATE_OUTPUT"; exit 100; }; exit 0 ;;
esac
i=0
while [ $i -lt 1000 ]; do echo "(Reading database ... $((i % 100))%"; i=$((i + 1)); done
for p in cmake wine32:i386 libwine:i386; do echo "Setting up $p (1.0) ..."; done
[ -z "$FAKE_INSTALL_ERROR" ] || { echo "$FAKE_INSTALL_ERROR"; exit 100; }
touch "$FAKE_DIR/installed"
"""
NATIVE = "install-deps: 32-bit x86 programs run natively (the kernel runs them)"


class QuietSetUp(unittest.TestCase):
    """install-deps.sh run whole from a copy of the scripts, with apt-get,
    dpkg and sudo stood in for and an enable-i386.sh that only says how
    32-bit programs run: what it prints, and what goes to its log."""

    def run_set_up(self, work, **env):
        fake = os.path.join(work, "bin")
        scripts = os.path.join(work, "scripts")
        os.makedirs(fake)
        os.makedirs(scripts)
        for name in ("install-deps.sh", "setup_log.sh", "apt_index.py"):
            shutil.copy(os.path.join(SCRIPTS, name), scripts)
        for path, text in ((os.path.join(fake, "dpkg"), FAKE_DPKG), (os.path.join(fake, "apt-get"), FAKE_APT_GET),
                           (os.path.join(fake, "sudo"), '#!/bin/sh\nexec "$@"\n'),
                           (os.path.join(scripts, "enable-i386.sh"), "#!/bin/sh\necho '%s'\n" % NATIVE)):
            with open(path, "w") as f:
                f.write(text)
            os.chmod(path, 0o755)
        environ = {k: v for k, v in os.environ.items() if not k.startswith("QMB_")}
        environ.update(PATH=fake + os.pathsep + environ["PATH"], FAKE_DIR=work, FAKE_PRESENT="",
                       FAKE_UPDATE_OUTPUT="", FAKE_INSTALL_ERROR="", QMB_APT_UPDATE_PAUSE="0")
        environ.update(env)
        result = subprocess.run(["bash", os.path.join(scripts, "install-deps.sh")], cwd=work, env=environ,
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, timeout=120)
        with open(os.path.join(work, "build", "setup.log")) as f:
            return result.returncode, result.stdout, f.read()

    def test_runs(self):
        mid_sync = os.path.join(tempfile.gettempdir(), "qmb-mid-sync-%d.txt" % os.getpid())
        with open(mid_sync, "w") as f:
            f.write(MID_SYNC)
        self.addCleanup(os.remove, mid_sync)
        installing = "install-deps: installing 28 (a few minutes; the package manager's output goes to build/setup.log):"
        rows = [
            # case, environment, exit status, lines expected in the output, most lines, in the log
            ("all there", {"FAKE_PRESENT": "all"}, 0,
             ["install-deps: the 28 packages needed are installed already", NATIVE], 2, []),
            ("a fresh machine", {}, 0,
             ["install-deps: 28 packages needed, none installed yet", installing,
              "install-deps: adding the i386 architecture to dpkg, for the 32-bit Wine (wine32:i386)",
              "packages set up, with those they need)", NATIVE], 9,
             ["$ apt-get update -qq --error-on=any", "(Reading database ... 99%", "Setting up wine32:i386"]),
            ("some there", {"FAKE_PRESENT": "cmake python3"}, 0,
             ["install-deps: 28 packages needed; 2 installed already: cmake python3\n",
              "install-deps: installing 26 (a few"], 9, []),
            ("the install fails", {"FAKE_INSTALL_ERROR": "E: Unable to fetch some archives"}, 1,
             ["install-deps: the last lines of build/setup.log:", "  | E: Unable to fetch some archives",
              "install-deps: FAILED: ", "env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "
              "--no-install-recommends cmake ninja-build", "(exit status 100)"], 24,
             ["E: Unable to fetch some archives"]),
            ("an index in mid-sync", {"FAKE_UPDATE_OUTPUT": mid_sync, "QMB_APT_UPDATE_ATTEMPTS": "2"}, 0,
             ["install-deps: apt-get update failed (attempt 1 of 2: E: Failed to fetch http://deb.debian.org/",
              "install-deps: apt-get update still fails after 2 attempts",
              "install-deps: these package indexes could not be fetched:",
              "  http://deb.debian.org/debian-security bookworm-security/main i386", NATIVE], 13,
             ["Mirror sync in progress?"]),
        ]
        for case, env, status, lines, most, logged in rows:
            with self.subTest(case), tempfile.TemporaryDirectory() as work:
                rc, out, log = self.run_set_up(work, **env)
                self.assertEqual(rc, status, "%s:\n%s" % (case, out))
                for line in lines:
                    self.assertIn(line, out, case)
                self.assertLessEqual(len(out.splitlines()), most, "%s:\n%s" % (case, out))
                self.assertNotIn("Reading database", out, case)
                for text in logged:
                    self.assertIn(text, log, case)


if __name__ == "__main__":
    unittest.main()
