#!/usr/bin/env bash
# Checks a payload folder against the package contract, without building the
# exe: the one command for a release engineer with packages of their own.
#
#   scripts/check-payload.sh PAYLOAD_DIR [--warn-only]
#
# PAYLOAD_DIR may be relative to the folder the command is run from. The
# embedded transforms are looked at under Wine by msiembedded.exe, which
# this builds first (with the Wine prefix of the build-time tools) in the
# windows build folder, build/windows or QMB_WINDOWS_BUILD_DIR, configuring
# it when it is not yet. Where Wine cannot run, every other rule is checked
# and a note says that the transforms were not. Exit status: 0 the payload
# keeps the contract, 1 findings, 2 the check could not run.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
if [[ $# -lt 1 || "$1" == -* ]]; then
  echo "usage: scripts/check-payload.sh PAYLOAD_DIR [--warn-only]" >&2
  exit 2
fi
if [[ ! -d "$1" ]]; then
  echo "check-payload: no folder $1" >&2
  exit 2
fi
payload="$(cd "$1" && pwd)"
shift
checker=(python3 "$root/scripts/payload_contract.py")

# Debian's Wine runs 32-bit programs with 32-bit Unix code; a kernel that
# refuses those makes even "wine --version" fail.
if ! command -v wine >/dev/null 2>&1; then
  exec "${checker[@]}" --no-wine "wine is not installed" "$@" "$payload"
fi
if ! wine_error="$(wine --version 2>&1 </dev/null)"; then
  exec "${checker[@]}" --no-wine "wine --version failed: $(tr '\n' ' ' <<<"$wine_error")" "$@" "$payload"
fi

build="${QMB_WINDOWS_BUILD_DIR:-$root/build/windows}"
if [[ ! -f "$build/CMakeCache.txt" ]]; then
  (cd "$root" && cmake --preset windows -B "$build" >/dev/null) || { echo "check-payload: cannot configure $build" >&2; exit 2; }
fi
if ! cmake --build "$build" --target msiembedded qmb_wine_tools_prefix >/dev/null; then
  echo "check-payload: cannot build msiembedded.exe in $build" >&2
  exit 2
fi
prefix="$(sed -n 's/^QMB_TOOLS_WINEPREFIX:[A-Z]*=//p' "$build/CMakeCache.txt")"
exec "${checker[@]}" --helper "$build/tools/msitransform/msiembedded.exe" --wineprefix "$prefix" "$@" "$payload"
