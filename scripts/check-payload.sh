#!/usr/bin/env bash
# Checks a payload folder against the package contract, without building the
# exe: the one command for a release engineer with packages of their own.
#
#   scripts/check-payload.sh /path/to/payload [--warn-only]
#
# The embedded transforms are looked at under Wine by msiembedded.exe, which
# this builds first (with the Wine prefix of the build-time tools) in the
# windows build folder, configuring it when it is not yet. Exit status: 0 the
# payload keeps the contract, 1 findings, 2 the check could not run.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
if [[ $# -lt 1 || "$1" == -* ]]; then
  echo "usage: scripts/check-payload.sh PAYLOAD_DIR [--warn-only]" >&2
  exit 2
fi
payload="$1"
shift
build="$root/build/windows"
cd "$root"
if [[ ! -f "$build/CMakeCache.txt" ]]; then
  cmake --preset windows >/dev/null || { echo "check-payload: cannot configure $build" >&2; exit 2; }
fi
if ! cmake --build "$build" --target msiembedded qmb_wine_tools_prefix >/dev/null; then
  echo "check-payload: cannot build msiembedded.exe in $build" >&2
  exit 2
fi
prefix="$(sed -n 's/^QMB_TOOLS_WINEPREFIX:[A-Z]*=//p' "$build/CMakeCache.txt")"
exec python3 "$root/scripts/payload_contract.py" --helper "$build/tools/msitransform/msiembedded.exe" \
  --wineprefix "$prefix" "$@" "$payload"
