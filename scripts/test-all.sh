#!/usr/bin/env bash
# Runs every test: the host unit tests against the simulated machine, the
# fuzz targets for a fixed time each, then the product build, a second build
# of it that must give the same bytes (check-reproducible.sh), and its tests
# under Wine (two at a time: the tests of different Wine prefixes run side
# by side).
#
# A test that needs Wine and did not run fails the run, unless
# QMB_ALLOW_NO_WINE=1 says that this machine cannot run Wine at all. The
# last lines say how long each stage took and how many Wine tests ran.
set -euo pipefail
cd "$(dirname "$0")/.."
times=()
stage() {
  local name="$1" start=$SECONDS
  shift
  "$@"
  times+=("$name $((SECONDS - start)) s")
}

stage set-up scripts/install-deps.sh

host() { cmake --preset host && cmake --build --preset host && ctest --preset host -j2; }
stage host host

fuzz() { cmake --preset fuzz && cmake --build --preset fuzz && ctest --preset fuzz; }
stage fuzz fuzz

windows_build() { cmake --preset windows && cmake --build --preset windows; }
stage "windows build" windows_build

# A build that differs fails the run, after the tests.
repro_status=0
reproducible() { scripts/check-reproducible.sh || repro_status=$?; }
stage reproducible reproducible

build=build/windows
rm -f "$build/wine-tests.xml"
status=0
windows_tests() { ctest --preset windows --output-junit wine-tests.xml || status=$?; }
stage "windows tests" windows_tests
ctest --preset windows --show-only=json-v1 >"$build/tests.json"

printf 'time: %s\n' "${times[@]}"
count=0
python3 scripts/wine_tests.py "$build/tests.json" "$build/wine-tests.xml" || count=$?
if [ "$repro_status" -ne 0 ]; then
  echo "test-all: FAILED: a second build of the same inputs did not give the same bytes (reproducible: above)" >&2
  exit "$repro_status"
fi
[ "$status" -eq 0 ] || exit "$status"
exit "$count"
