#!/usr/bin/env python3
"""CI's count of the Wine tests, on what ctest 3.25 writes (--show-only=json-v1
and --output-junit) for a run with a pass, a skip (exit code 77), a failure
and a test not run for want of its fixture."""
import os
import sys
import unittest
import xml.etree.ElementTree as ET

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "scripts"))
import wine_tests  # noqa: E402

WINE = [{"name": "LABELS", "value": ["wine"]}]
TESTS = {"tests": [{"name": n, "properties": WINE} for n in "abcd"] + [{"name": "e", "properties": []}]}
JUNIT = """<testsuite name="(empty)" tests="5" failures="2" disabled="0" skipped="2">
  <testcase name="a" classname="a" time="0.0025" status="run"><system-out></system-out></testcase>
  <testcase name="b" classname="b" time="0.0017" status="notrun">
    <skipped message="SKIP_RETURN_CODE=77"/><system-out></system-out></testcase>
  <testcase name="c" classname="c" time="0.0025" status="fail"><failure message=""/></testcase>
  <testcase name="d" classname="d" time="0" status="notrun">
    <skipped message="Fixture dependency failed"/><system-out>Failed test dependencies: e</system-out></testcase>
  <testcase name="e" classname="e" time="0.0023" status="fail"><failure message=""/></testcase>
</testsuite>"""


class Count(unittest.TestCase):
    def test_rows(self):
        names = wine_tests.wine_tests(TESTS)
        found = wine_tests.outcomes(ET.fromstring(JUNIT))
        rows = [
            # name, Wine tests, allowed without Wine, exit code, words in the line
            ("a skip and a test not run fail CI", names, False, 1, "2 ran (1 passed, 1 failed); 2 skipped or not run: b d"),
            ("unless the machine cannot run Wine", names, True, 0, "(allowed: QMB_ALLOW_NO_WINE=1)"),
            ("all ran: a failure is ctest's to report", ["a", "c"], False, 0, "2 ran (1 passed, 1 failed)"),
            ("a build that defines none", [], False, 1, "0 ran (0 passed, 0 failed); the build defines none"),
        ]
        for name, wine, allowed, code, words in rows:
            with self.subTest(name):
                line, got = wine_tests.summary(wine, found, allowed)
                self.assertEqual(got, code, line)
                self.assertIn(words, line)

    def test_two_builds_sharing_a_name(self):
        # The same test name in both builds: a skip in one is not hidden by
        # a pass in the other.
        names, found = wine_tests.collect([("windows", TESTS, ET.fromstring(JUNIT)),
                                           ("windows-amd64", {"tests": TESTS["tests"][:1]}, None)])
        line, code = wine_tests.summary(names, found, False)
        self.assertEqual(code, 1, line)
        self.assertIn("3 skipped or not run: windows/b windows/d windows-amd64/a", line)


if __name__ == "__main__":
    unittest.main()
