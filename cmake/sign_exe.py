#!/usr/bin/env python3
"""Signs a PE image with Authenticode (osslsigncode), in place.

  sign_exe.py IMAGE --pkcs12 FILE (--password-file FILE | --password-env NAME)
              [--timestamp URL] [--osslsigncode PATH]

The password of the PKCS#12 file comes from a file (its first line) or from
an environment variable, and reaches osslsigncode through a pipe that its
-readpass option reads: it never appears on a command line, where other
processes of the machine could read it, nor in a file of this step. An
empty password (which -readpass refuses to read, and which is no secret) is
given as -pass "".

The image is signed with SHA-256; with --timestamp the signature is
countersigned by that RFC 3161 time-stamp server, so that it stays valid
after the certificate expires. The signature is appended at the end of the
file and no section moves: the step checks that the resource section still
starts on a page boundary (cmake/align_resources.py put it there).

On any failure, whatever its kind (an interruption included), the image and
the partial output are deleted, so that no unsigned file is left where a
signed one is expected, and the step ends with status 1 and a message.
"""
import argparse
import os
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import align_resources  # noqa: E402

PAGE = 4096


class SignError(Exception):
    pass


def password(opts):
    if opts.password_file:
        try:
            with open(opts.password_file, "rb") as f:
                return f.read().split(b"\n")[0].rstrip(b"\r")
        except OSError as e:
            raise SignError("cannot read the password file: %s" % e)
    value = os.environb.get(opts.password_env.encode())
    if value is None:
        raise SignError("the environment variable %s, which should hold the password, is not set"
                        % opts.password_env)
    return value


def sign(opts):
    secret = password(opts)
    signed = opts.image + ".signed"
    if os.path.exists(signed):
        os.remove(signed)
    read_end, write_end = os.pipe()
    try:
        # A password longer than a pipe's buffer (64 KiB) would block here;
        # osslsigncode reads at most 4 KiB of it anyway.
        if len(secret) >= 4096:
            raise SignError("the password is longer than osslsigncode reads (4095 bytes)")
        os.write(write_end, secret)
        os.close(write_end)
        write_end = None
        given = ["-readpass", "/dev/fd/%d" % read_end] if secret else ["-pass", ""]
        args = [opts.osslsigncode, "sign", "-pkcs12", opts.pkcs12] + given + ["-h", "sha256"]
        if opts.timestamp:
            args += ["-ts", opts.timestamp]
        args += ["-in", opts.image, "-out", signed]
        try:
            result = subprocess.run(args, pass_fds=(read_end,), stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                    text=True, errors="replace")
        except FileNotFoundError:
            raise SignError("%s is not installed (scripts/install-deps.sh installs osslsigncode)" % opts.osslsigncode)
    finally:
        os.close(read_end)
        if write_end is not None:
            os.close(write_end)
    if result.returncode != 0 or not os.path.isfile(signed):
        raise SignError("osslsigncode failed (%d):\n%s" % (result.returncode, result.stdout.strip()))
    with open(signed, "rb") as f:
        data = f.read()
    layout = align_resources.parse(data)
    start = align_resources.resource_section(layout)["raw_pointer"]
    if start % PAGE:
        raise SignError("after signing, the resource section starts at %#x, not on a page boundary" % start)
    if not layout["dirs"][align_resources.DIR_SECURITY][1]:
        raise SignError("osslsigncode wrote no certificate table")
    os.chmod(signed, os.stat(opts.image).st_mode)
    os.replace(signed, opts.image)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("image")
    parser.add_argument("--pkcs12", required=True)
    source = parser.add_mutually_exclusive_group(required=True)
    source.add_argument("--password-file")
    source.add_argument("--password-env")
    parser.add_argument("--timestamp", help="URL of an RFC 3161 time-stamp server")
    parser.add_argument("--osslsigncode", default="osslsigncode")
    opts = parser.parse_args()
    try:
        sign(opts)
    except BaseException as e:  # whatever stops the signing, no unsigned image stays
        for path in (opts.image, opts.image + ".signed"):
            try:
                os.remove(path)
            except FileNotFoundError:
                pass
        what = str(e) if isinstance(e, (SignError, OSError, align_resources.LayoutError)) else \
            "%s: %s" % (type(e).__name__, e)
        sys.stderr.write("sign_exe.py: %s: %s\nThe unsigned image was deleted.\n" % (opts.image, what))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
