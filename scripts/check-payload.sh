#!/usr/bin/env bash
# Checks a payload folder against the package contract, without building the
# exe: the one command for a release engineer with packages of their own.
#
#   scripts/check-payload.sh PAYLOAD_DIR [--flavour amd64] [--warn-only]
#
# PAYLOAD_DIR may be relative to the folder the command is run from.
# --flavour amd64 checks it for the 64-bit exe (the registry view it reads,
# no updater phase); without it, for the 32-bit product. The embedded
# transforms are looked at under Wine by msiembedded.exe, which this builds
# first (with the Wine prefix of the build-time tools) in the flavour's
# build folder, build/windows or build/windows-amd64 (or
# QMB_WINDOWS_BUILD_DIR), configuring it when it is not yet. Where Wine
# cannot run, every other rule is checked and a note says that the
# transforms were not. Exit status: 0 the payload keeps the contract, 1
# findings, 2 the check could not run.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
usage() {
  echo "usage: scripts/check-payload.sh PAYLOAD_DIR [--flavour amd64] [--warn-only]" >&2
  exit 2
}
if [[ $# -lt 1 || "$1" == -* ]]; then
  usage
fi
if [[ ! -d "$1" ]]; then
  echo "check-payload: no folder $1" >&2
  exit 2
fi
payload="$(cd "$1" && pwd)"
shift
flavour=i586 options=()
while [[ $# -gt 0 ]]; do
  case "$1" in
    --flavour) [[ $# -ge 2 && ( "$2" == i586 || "$2" == amd64 ) ]] || usage; flavour="$2"; shift 2 ;;
    --warn-only) options+=("$1"); shift ;;
    *) usage ;;
  esac
done
checker=(python3 "$root/scripts/payload_contract.py" --flavour "$flavour" "${options[@]}")

# The helper is built for the flavour and started by its Wine loader:
# Debian's Wine runs 32-bit programs with 32-bit Unix code, and a kernel
# that refuses those makes even "wine --version" fail; the 64-bit loader
# runs natively.
if [[ "$flavour" == amd64 ]]; then
  wine="$(command -v wine64 || echo /usr/lib/wine/wine64)" preset=windows-amd64
else
  wine=wine preset=windows
fi
if ! command -v "$wine" >/dev/null 2>&1; then
  exec "${checker[@]}" --no-wine "$wine is not installed" "$payload"
fi
if ! wine_error="$("$wine" --version 2>&1 </dev/null)"; then
  exec "${checker[@]}" --no-wine "$wine --version failed: $(tr '\n' ' ' <<<"$wine_error")" "$payload"
fi

build="${QMB_WINDOWS_BUILD_DIR:-$root/build/$preset}"
if [[ ! -f "$build/CMakeCache.txt" ]]; then
  (cd "$root" && cmake --preset "$preset" -B "$build" >/dev/null) || { echo "check-payload: cannot configure $build" >&2; exit 2; }
fi
if ! cmake --build "$build" --target msiembedded qmb_wine_tools_prefix >/dev/null; then
  echo "check-payload: cannot build msiembedded.exe in $build" >&2
  exit 2
fi
prefix="$(sed -n 's/^QMB_TOOLS_WINEPREFIX:[A-Z]*=//p' "$build/CMakeCache.txt")"
exec "${checker[@]}" --helper "$build/tools/msitransform/msiembedded.exe" --wineprefix "$prefix" --wine "$wine" "$payload"
