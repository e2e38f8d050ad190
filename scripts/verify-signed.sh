#!/usr/bin/env bash
# Says whether a signed qmb-setup.exe is the exe that given sources and
# payload build, plus an Authenticode signature: it builds the unsigned exe
# again, in a temporary build folder, and compares the two byte for byte,
# all but the image checksum and the certificate table's entry, which
# signing changes, and the certificate table, which signing appends
# (scripts/compare_exe.py signed).
#
#   scripts/verify-signed.sh SIGNED.exe [--payload DIR] [--source DIR]
#                            [--preset NAME] [--tools-wineprefix DIR] [--keep]
#
#   --payload DIR           the payload folder the exe was built with (default:
#                           the sample packages, built from the sources)
#   --source DIR            the source tree (default: the one this script is in)
#   --preset NAME           the build's preset (default: windows)
#   --tools-wineprefix DIR  a ready Wine prefix for the build-time tools, as
#                           QMB_TOOLS_WINEPREFIX (default: a new one)
#   --keep                  keep the temporary build folder
#
# Set SOURCE_DATE_EPOCH as it was for the signed exe's build, if it was set.
# Prints "same: ..." and exits 0, or "differs: <reason>" and exits 1; exits 2
# when it cannot tell (a file missing, the build failing).
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
usage() { sed -n '9,19s/^# \{0,1\}//p' "$0" >&2; exit 2; }

signed="" payload="" source="$(dirname "$here")" preset=windows prefix="" keep=0
while [ $# -gt 0 ]; do
  case "$1" in
    --payload) payload="${2:?}"; shift 2 ;;
    --source) source="${2:?}"; shift 2 ;;
    --preset) preset="${2:?}"; shift 2 ;;
    --tools-wineprefix) prefix="${2:?}"; shift 2 ;;
    --keep) keep=1; shift ;;
    -*) usage ;;
    *) [ -z "$signed" ] || usage; signed="$1"; shift ;;
  esac
done
[ -n "$signed" ] || usage
for f in "$signed" "$source/CMakePresets.json"; do
  [ -f "$f" ] || { echo "verify-signed: no file $f" >&2; exit 2; }
done
[ -z "$payload" ] || [ -d "$payload" ] || { echo "verify-signed: no folder $payload" >&2; exit 2; }
signed="$(realpath "$signed")"
source="$(realpath "$source")"
[ -z "$payload" ] || payload="$(realpath "$payload")"

work="$(mktemp -d "${TMPDIR:-/tmp}/qmb-verify.XXXXXX")"
cleanup() {
  if [ "$keep" = 1 ]; then echo "verify-signed: the build folder is kept: $work/build" >&2; else rm -rf "$work"; fi
}
trap cleanup EXIT
log="$work/build.log"
config=(-B "$work/build" -DPAYLOAD_DIR="$payload" -DQMB_SIGN_PKCS12=)
[ -z "$prefix" ] || config+=(-DQMB_TOOLS_WINEPREFIX="$(realpath "$prefix")")
echo "verify-signed: building the unsigned exe from $source (preset $preset, payload ${payload:-the sample packages})" \
     "in $work/build"
if ! (cd "$source" && cmake --preset "$preset" "${config[@]}" && cmake --build "$work/build" --target qmb-setup -j2) \
     >"$log" 2>&1; then
  tail -n 25 "$log" >&2
  echo "verify-signed: cannot tell: the build failed (its last lines above; the whole output: $log)" >&2
  keep=1
  exit 2
fi
python3 "$here/compare_exe.py" signed "$signed" "$work/build/qmb-setup.exe"
