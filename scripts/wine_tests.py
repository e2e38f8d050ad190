#!/usr/bin/env python3
"""Counts the tests that need Wine (ctest label "wine") after a ctest run,
and fails when one of them did not run.

  wine_tests.py TESTS_JSON JUNIT_XML [TESTS_JSON JUNIT_XML ...]

TESTS_JSON is what `ctest --show-only=json-v1` printed for a build,
JUNIT_XML what `ctest --output-junit` wrote for its run; one pair per build
(the 32-bit product's and the 64-bit flavour's), whose tests are counted
together, each named after its build folder when there are several (the
builds share some test names). Prints one line:
how many Wine tests ran, passed and failed, and which were skipped or not
run. Exits 1 when a Wine test was skipped or not run, or when the build
defines none, unless QMB_ALLOW_NO_WINE=1 (a machine that cannot run Wine at
all, on purpose); a failed test is ctest's own failure and is only counted.
"""
import json
import os
import sys
import xml.etree.ElementTree as ET


def wine_tests(tests_json):
    names = []
    for test in tests_json.get("tests", []):
        for prop in test.get("properties", []):
            if prop.get("name") == "LABELS" and "wine" in prop.get("value", []):
                names.append(test["name"])
    return names


def outcomes(junit_root):
    """{test name: "passed" | "failed" | "skipped"} from ctest's JUnit file."""
    found = {}
    for case in junit_root.iter("testcase"):
        status = case.get("status", "")
        if case.find("skipped") is not None or status in ("notrun", "disabled"):
            found[case.get("name")] = "skipped"
        elif case.find("failure") is not None or case.find("error") is not None or status == "fail":
            found[case.get("name")] = "failed"
        else:
            found[case.get("name")] = "passed"
    return found


def summary(names, found, allow_no_wine):
    """(line, exit code)."""
    ran = [n for n in names if found.get(n) in ("passed", "failed")]
    failed = [n for n in ran if found[n] == "failed"]
    missing = [n for n in names if found.get(n) not in ("passed", "failed")]
    line = "Wine tests: %d ran (%d passed, %d failed)" % (len(ran), len(ran) - len(failed), len(failed))
    if missing:
        line += "; %d skipped or not run: %s" % (len(missing), " ".join(missing))
    blind = bool(missing) or not names
    if not names:
        line += "; the build defines none"
    if blind and allow_no_wine:
        return line + " (allowed: QMB_ALLOW_NO_WINE=1)", 0
    if blind:
        why = (". A Wine test that did not run did not pass (QMB_ALLOW_NO_WINE=1 allows it"
               " on a machine that cannot run Wine)")
        return line + why, 1
    return line, 0


def collect(builds):
    """The Wine tests and their outcomes of several builds, given as
    (label, tests json, JUnit root or None), as one list and one dict; with
    more than one build each name is "<label>/<name>"."""
    names, found = [], {}
    for label, tests_json, junit_root in builds:
        prefix = label + "/" if len(builds) > 1 else ""
        names += [prefix + n for n in wine_tests(tests_json)]
        if junit_root is not None:
            found.update({prefix + n: o for n, o in outcomes(junit_root).items()})
    return names, found


def main(argv):
    if len(argv) < 3 or len(argv) % 2 != 1:
        print(__doc__, file=sys.stderr)
        return 2
    builds = []
    for tests_path, junit_path in zip(argv[1::2], argv[2::2]):
        with open(tests_path) as f:
            tests_json = json.load(f)
        try:
            junit_root = ET.parse(junit_path).getroot()
        except (OSError, ET.ParseError):
            junit_root = None
        builds.append((os.path.basename(os.path.dirname(os.path.abspath(tests_path))), tests_json, junit_root))
    names, found = collect(builds)
    line, code = summary(names, found, os.environ.get("QMB_ALLOW_NO_WINE") == "1")
    print(line)
    return code


if __name__ == "__main__":
    sys.exit(main(sys.argv))
