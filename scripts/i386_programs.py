#!/usr/bin/env python3
"""Decisions of the set-up on whether 32-bit x86 programs run here.

Debian's Wine runs 32-bit Windows programs with 32-bit Unix code. Some
kernels refuse such programs (execve answers ENOEXEC); there qemu's
user-mode emulator, registered with binfmt_misc for i386 ELF programs,
runs them instead. Debian 12's own qemu (7.2) is too slow for Wine; the
backports suite's (10.0 and later) carries it.

Used by install-deps.sh:
  i386_programs.py probe PATH         writes a 32-bit program that exits with 42
  i386_programs.py decide RC STDERR_FILE BINFMT_DIR
                                      what to do, given the probe's exit code
                                      and error output
  i386_programs.py register-line INTERPRETER
                                      the text to write to binfmt_misc/register
  i386_programs.py backports-source ETC_APT CODENAME OUT_FILE
                                      a deb822 stanza for CODENAME-backports,
                                      on the archive that serves CODENAME
Nothing here runs the probe, apt or changes the machine.

`decide` prints one line, a verb and its argument:
  native                the kernel runs them; nothing to do
  emulated NAME         a working registration NAME exists; it is kept
  remove NAME           NAME points at an interpreter that is gone, fails,
                        or is a qemu older than 10: remove it, probe again
  register              nothing runs them: install the emulator and register it
"""
import os
import re
import struct
import subprocess
import sys

PROBE_EXIT = 42
ENTRY_NAME = "qemu-i386"
MIN_QEMU = (10, 0)

# What binfmt_misc matches for an i386 ELF executable or shared object
# (e_ident for ELFCLASS32/LSB/version 1, e_type 2 or 3, e_machine 3), as
# qemu's own registration script writes it.
MAGIC = b"\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00"
MASK = b"\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff"


def probe_program():
    """A static i386 ELF program of 95 bytes: exit(42) through int 0x80."""
    base = 0x08048000
    code = bytes([0xB8, 0x01, 0, 0, 0,            # mov eax, 1 (exit)
                  0xBB, PROBE_EXIT, 0, 0, 0,      # mov ebx, 42
                  0xCD, 0x80])                    # int 0x80
    header_size, phdr_size = 52, 32
    size = header_size + phdr_size + len(code)
    ident = b"\x7fELF" + bytes([1, 1, 1, 0]) + bytes(8)
    header = ident + struct.pack("<HHIIIIIHHHHHH", 2, 3, 1, base + header_size + phdr_size,
                                 header_size, 0, 0, header_size, phdr_size, 1, 0, 0, 0)
    phdr = struct.pack("<IIIIIIII", 1, 0, base, base, size, size, 5, 0x1000)
    return header + phdr + code


def _hex(data):
    return data.hex()


def read_entries(binfmt_dir):
    """binfmt_misc entries as {name: {"enabled", "interpreter", "flags", "magic", "mask"}}."""
    entries = {}
    try:
        names = sorted(os.listdir(binfmt_dir))
    except OSError:
        return entries
    for name in names:
        if name in ("register", "status"):
            continue
        try:
            with open(os.path.join(binfmt_dir, name)) as f:
                text = f.read()
        except OSError:
            continue
        entry = {"enabled": text.startswith("enabled"), "interpreter": "", "flags": "", "magic": "", "mask": ""}
        for line in text.splitlines():
            key, _, value = line.partition(" ")
            key = key.rstrip(":")
            if key in ("interpreter", "flags", "magic", "mask"):
                entry[key] = value.strip()
        entries[name] = entry
    return entries


def _matches_i386(entry):
    """Whether the entry takes the probe (an i386 executable)."""
    magic, mask = entry["magic"], entry["mask"] or "ff" * (len(entry["magic"]) // 2)
    try:
        m, k = bytes.fromhex(magic), bytes.fromhex(mask)
    except ValueError:
        return False
    probe = probe_program()
    return bool(m) and all((probe[i] & k[i]) == (m[i] & k[i]) for i in range(min(len(m), len(k))))


def qemu_version(text):
    """(major, minor) from `qemu-i386 --version`, or None."""
    m = re.search(r"qemu-\S+ version (\d+)\.(\d+)", text or "")
    return (int(m.group(1)), int(m.group(2))) if m else None


def interpreter_version(path):
    """What `PATH --version` prints, or "" when it cannot be run."""
    try:
        return subprocess.run([path, "--version"], capture_output=True, text=True, timeout=30).stdout
    except (OSError, subprocess.SubprocessError):
        return ""


def decide(probe_rc, probe_stderr, entries, exists=os.path.exists, version_of=interpreter_version):
    """(verb, name) as the module's docstring says."""
    i386 = [(n, e) for n, e in entries.items() if e["enabled"] and _matches_i386(e)]
    for name, entry in i386:
        # The interpreter is opened at registration with the F flag, so such
        # an entry works even when its file is gone; without F it does not.
        if "F" not in entry["flags"] and not exists(entry["interpreter"]):
            return ("remove", name)
        # A qemu older than 10 runs the probe but not Wine (too slow to boot
        # a prefix): it counts as not working.
        version = qemu_version(version_of(entry["interpreter"])) if exists(entry["interpreter"]) else None
        if version is not None and version < MIN_QEMU:
            return ("remove", name)
    if probe_rc == PROBE_EXIT:
        return ("emulated", i386[0][0]) if i386 else ("native", "")
    if i386 and "format error" not in probe_stderr.lower():
        # An entry takes the program and still it does not run.
        return ("remove", i386[0][0])
    return ("register", "")


def register_line(interpreter, name=ENTRY_NAME):
    def esc(data):
        return "".join("\\x%02x" % b for b in data)
    return ":%s:M::%s:%s:%s:F" % (name, esc(MAGIC), esc(MASK), interpreter)


def _stanzas(text):
    stanza = {}
    for line in text.splitlines() + [""]:
        if not line.strip():
            if stanza:
                yield stanza
            stanza = {}
        elif not line.startswith("#") and ":" in line and not line[0].isspace():
            key, _, value = line.partition(":")
            stanza[key.strip().lower()] = value.strip()


def backports_source(etc_apt, codename):
    """A deb822 stanza for CODENAME-backports on the archive (and with the
    key) of the entry that serves CODENAME itself, or None."""
    candidates = []
    parts = os.path.join(etc_apt, "sources.list.d")
    if os.path.isdir(parts):
        candidates += [os.path.join(parts, n) for n in sorted(os.listdir(parts))]
    candidates.append(os.path.join(etc_apt, "sources.list"))
    for path in candidates:
        if not os.path.isfile(path):
            continue
        with open(path) as f:
            text = f.read()
        if path.endswith(".sources"):
            for s in _stanzas(text):
                if "deb" in s.get("types", "").split() and codename in s.get("suites", "").split():
                    lines = ["Types: deb", "URIs: " + s["uris"].split()[0],
                             "Suites: %s-backports" % codename, "Components: main"]
                    if "signed-by" in s:
                        lines.append("Signed-By: " + s["signed-by"])
                    return "\n".join(lines) + "\n"
        elif path.endswith(".list"):
            for line in text.splitlines():
                words = line.split("#", 1)[0].split()
                if len(words) < 3 or words[0] != "deb":
                    continue
                options = ""
                if words[1].startswith("["):
                    end = next(i for i, w in enumerate(words) if w.endswith("]"))
                    options = " ".join(words[1:end + 1])[1:-1].strip()
                    words = [words[0]] + words[end + 1:]
                if len(words) >= 3 and words[2] == codename:
                    lines = ["Types: deb", "URIs: " + words[1],
                             "Suites: %s-backports" % codename, "Components: main"]
                    m = re.search(r"signed-by=(\S+)", options)
                    if m:
                        lines.append("Signed-By: " + m.group(1))
                    return "\n".join(lines) + "\n"
    return None


def _read(path):
    with open(path, errors="replace") as f:
        return f.read()


def main(argv):
    if len(argv) == 3 and argv[1] == "probe":
        with open(argv[2], "wb") as f:
            f.write(probe_program())
        os.chmod(argv[2], 0o755)
        return 0
    if len(argv) == 5 and argv[1] == "decide":
        verb, name = decide(int(argv[2]), _read(argv[3]), read_entries(argv[4]))
        print(("%s %s" % (verb, name)).strip())
        return 0
    if len(argv) == 3 and argv[1] == "register-line":
        print(register_line(argv[2]))
        return 0
    if len(argv) == 5 and argv[1] == "backports-source":
        text = backports_source(argv[2], argv[3])
        if text is None:
            print("no source serves %s" % argv[3], file=sys.stderr)
            return 1
        with open(argv[4], "w") as f:
            f.write(text)
        return 0
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
