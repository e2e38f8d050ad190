#!/usr/bin/env python3
"""Decisions of the set-up when a package index cannot be fetched.

A mirror in mid-sync serves an index whose size or hash does not match its
Release file; apt then ignores that index and goes on with the others. When
the missing index is one architecture of a suite (say the i386 packages of
bookworm-security), the two architectures' candidates come from different
suites, disagree in version, and multi-arch packages such as wine32:i386
cannot be installed. Leaving the whole suite out for that one install makes
both architectures come from the same suites again.

The update log is what `apt-get update -qq --error-on=any` prints: no
Get:/Err: lines, only the errors. Besides the indexes that could not be
fetched, apt reports suites it ignores as a whole in messages of their own:
no Release file, a Release file expired or not valid yet, a changed Origin,
Label, Suite or Codename, a repository not signed.

Used by install-deps.sh:
  apt_index.py failed UPDATE_LOG           the failed indexes, one per line
  apt_index.py should-retry UPDATE_LOG INSTALL_LOG
                                           exit 0 when the failed install is
                                           worth one more try without them
  apt_index.py write-sources UPDATE_LOG ETC_APT OUT_DIR
                                           OUT_DIR/sources.list and
                                           OUT_DIR/sources.list.d/ without the
                                           failed suites; prints the suites it
                                           really left out (none when no entry
                                           names them, e.g. a mirror+file:
                                           source whose failures name the mirror)
  apt_index.py set-up INSTALL_LOG          how many packages the install set up
                                           (those asked for and those they need)
Nothing here runs apt or changes the machine's configuration.
"""
import os
import re
import sys

# "E: Failed to fetch http://host/debian-security/dists/bookworm-security/main/binary-i386/by-hash/SHA256/...
#  File has unexpected size (...). Mirror sync in progress? [IP: ...]"
# "E: Release file for http://host/debian/dists/bookworm-updates/InRelease is expired (invalid since ...). ..."
_URL_LINE = re.compile(r"^[EW]: (?:Failed to fetch (\S+)|Release file for (\S+) is (?:expired|not valid yet))")
# "E: The repository 'http://host/debian bookworm-backports Release' does not have a Release file."
# "E: Repository 'http://host/debian bookworm InRelease' changed its 'Codename' value from 'a' to 'b'"
_SUITE_LINE = re.compile(r"^[EW]: (?:The repository '(\S+) (\S+) (?:In)?Release' (?:does not have a Release file|"
                         r"is not signed|is no longer signed)|Repository '(\S+) (\S+) (?:In)?Release' changed "
                         r"its '(?:Origin|Label|Suite|Codename)' value)")
_DISTS_URL = re.compile(r"^(.*?)/dists/([^/]+)/(.+)$")

# Messages of an install whose dependencies cannot be resolved, or whose
# package has no candidate: what a missing index leads to. A failed download
# of a .deb or a locked dpkg database is not mended by leaving a suite out.
_UNRESOLVED = (
    "held broken packages",
    "Unable to correct problems",
    "has no installation candidate",
    "Unable to locate package",
    "but it is not going to be installed",
    "but it is not installable",
)


def _read(path):
    with open(path) as f:
        return f.read()


def _norm_uri(uri):
    """apt's form of a URI: no trailing slash, "file:/x" for "file:///x"."""
    return re.sub(r"^([a-z+]+):///", r"\1:/", uri.rstrip("/"))


def failed_indexes(update_output):
    """The indexes an `apt-get update` output reports as failed, as
    (uri, suite, component, architecture) tuples in order of first mention;
    component and architecture are None for a suite's Release file, and
    suite too for a URL outside any dists/ folder (uri is then the URL)."""
    found = []

    def add(entry):
        if entry not in found:
            found.append(entry)

    for line in update_output.splitlines():
        m = _SUITE_LINE.match(line)
        if m:
            uri, suite = m.group(1) or m.group(3), m.group(2) or m.group(4)
            add((_norm_uri(uri), suite, None, None))
            continue
        m = _URL_LINE.match(line)
        if not m:
            continue
        url = m.group(1) or m.group(2)
        d = _DISTS_URL.match(url)
        if not d:
            add((url, None, None, None))
            continue
        parts = d.group(3).split("/")
        component = parts[0] if len(parts) > 1 else None
        arch = next((p[len("binary-"):] for p in parts if p.startswith("binary-")), None)
        add((_norm_uri(d.group(1)), d.group(2), component, arch))
    return found


def failed_suites(update_output):
    """The (uri, suite) pairs that hold a failed index."""
    suites = []
    for uri, suite, _c, _a in failed_indexes(update_output):
        if suite is not None and (uri, suite) not in suites:
            suites.append((uri, suite))
    return suites


def describe(index):
    uri, suite, component, arch = index
    if suite is None:
        return uri
    what = suite if component is None else "%s/%s" % (suite, component)
    if arch:
        what += " " + arch
    return "%s %s" % (uri, what)


def install_failed_for_missing_index(install_output):
    return any(m in install_output for m in _UNRESOLVED)


def should_retry(update_output, install_output):
    """True when an install failed as a missing index makes installs fail,
    and some suite failed; whether an entry of the sources names it is
    write_sources' to say."""
    return bool(failed_suites(update_output)) and install_failed_for_missing_index(install_output)


# dpkg's "Setting up wine32:i386 (8.0~repack-4) ..." for each package it
# configures; apt-get -qq keeps these and the rest of dpkg's progress.
_SETTING_UP = re.compile(r"^Setting up (\S+) \(", re.M)


def packages_set_up(install_output):
    """The packages an install configured, each once, in order."""
    names = []
    for name in _SETTING_UP.findall(install_output):
        if name not in names:
            names.append(name)
    return names


def _leave_out(uri, suite, left_out, removed):
    """Whether the entry (uri, suite) is one of left_out; if so it is
    recorded in removed."""
    pair = (_norm_uri(uri), suite)
    if pair not in left_out:
        return False
    if pair not in removed:
        removed.append(pair)
    return True


def _one_line_entry_kept(line, left_out, removed):
    fields = line.split("#", 1)[0].split()
    if not fields or fields[0] not in ("deb", "deb-src"):
        return True
    rest = fields[1:]
    if rest and rest[0].startswith("["):
        while rest and not rest[0].endswith("]"):
            rest = rest[1:]
        rest = rest[1:]
    if len(rest) < 2:
        return True
    return not _leave_out(rest[0], rest[1], left_out, removed)


def filter_one_line(text, left_out, removed):
    """A sources.list text without the entries of the left-out suites; those
    it removed are added to removed."""
    return "".join(l for l in text.splitlines(True) if _one_line_entry_kept(l, left_out, removed))


def filter_deb822(text, left_out, removed):
    """A .sources text without the left-out suites: a stanza naming several
    URIs becomes one stanza per URI, each with the suites still wanted. The
    suites it removed are added to removed."""
    out = []
    for stanza in re.split(r"\n\s*\n", text.strip("\n")):
        lines = [l for l in stanza.splitlines() if not l.lstrip().startswith("#")]
        fields = {}
        order = []
        for l in lines:
            if l[:1] in (" ", "\t") and order:
                fields[order[-1]] += "\n" + l
                continue
            key, _, value = l.partition(":")
            fields[key.strip()] = value.strip()
            order.append(key.strip())
        keys = {k.lower(): k for k in order}
        if "uris" not in keys or "suites" not in keys:
            out.append(stanza)
            continue
        uris = fields[keys["uris"]].split()
        suites = fields[keys["suites"]].split()
        for uri in uris:
            kept = [s for s in suites if not _leave_out(uri, s, left_out, removed)]
            if not kept:
                continue
            rows = []
            for k in order:
                v = fields[k]
                if k == keys["uris"]:
                    v = uri
                elif k == keys["suites"]:
                    v = " ".join(kept)
                rows.append("%s:%s%s" % (k, "" if v.startswith("\n") else " ", v))
            out.append("\n".join(rows))
    return "\n\n".join(out) + ("\n" if out else "")


def write_sources(update_output, etc_apt, out_dir):
    """Writes the machine's sources without the failed suites into out_dir;
    returns the suites it really left out, in the order of the sources."""
    left_out = failed_suites(update_output)
    removed = []
    parts_out = os.path.join(out_dir, "sources.list.d")
    os.makedirs(parts_out, exist_ok=True)
    main = os.path.join(etc_apt, "sources.list")
    text = _read(main) if os.path.exists(main) else ""
    with open(os.path.join(out_dir, "sources.list"), "w") as f:
        f.write(filter_one_line(text, left_out, removed))
    parts = os.path.join(etc_apt, "sources.list.d")
    for name in sorted(os.listdir(parts)) if os.path.isdir(parts) else []:
        src = os.path.join(parts, name)
        if name.endswith(".list"):
            filtered = filter_one_line(_read(src), left_out, removed)
        elif name.endswith(".sources"):
            filtered = filter_deb822(_read(src), left_out, removed)
        else:
            continue  # apt reads no other names
        with open(os.path.join(parts_out, name), "w") as f:
            f.write(filtered)
    return removed


def main(argv):
    cmd = argv[1] if len(argv) > 1 else ""
    if cmd == "failed" and len(argv) == 3:
        for index in failed_indexes(_read(argv[2])):
            print(describe(index))
        return 0
    if cmd == "should-retry" and len(argv) == 4:
        return 0 if should_retry(_read(argv[2]), _read(argv[3])) else 1
    if cmd == "set-up" and len(argv) == 3:
        print(len(packages_set_up(_read(argv[2]))))
        return 0
    if cmd == "write-sources" and len(argv) == 5:
        for uri, suite in write_sources(_read(argv[2]), argv[3], argv[4]):
            print("%s %s" % (uri, suite))
        return 0
    sys.stderr.write(__doc__)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
