#!/usr/bin/env python3
"""Counts the tests that need Wine (ctest label "wine") after a ctest run,
and fails when one of them did not run.

  wine_tests.py TESTS_JSON JUNIT_XML

TESTS_JSON is what `ctest --show-only=json-v1` printed for the build,
JUNIT_XML what `ctest --output-junit` wrote for the run. Prints one line:
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


def main(argv):
    if len(argv) != 3:
        print(__doc__, file=sys.stderr)
        return 2
    with open(argv[1]) as f:
        names = wine_tests(json.load(f))
    try:
        found = outcomes(ET.parse(argv[2]).getroot())
    except (OSError, ET.ParseError):
        found = {}
    line, code = summary(names, found, os.environ.get("QMB_ALLOW_NO_WINE") == "1")
    print(line)
    return code


if __name__ == "__main__":
    sys.exit(main(sys.argv))
