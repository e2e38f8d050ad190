#!/usr/bin/env bash
# Runs every test: the host unit tests against the simulated machine, the
# fuzz targets for a fixed time each, then the product build, a second build
# of it that must give the same bytes (check-reproducible.sh), and its tests
# under Wine (two at a time: the tests of different Wine prefixes run side
# by side), then the same for the 64-bit flavour.
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

# Each product build's tests; the Wine tests of both are counted at the end.
status=0
counted=()
product_tests() {
  local build="build/$1"
  rm -f "$build/wine-tests.xml"
  ctest --preset "$1" --output-junit wine-tests.xml || status=$?
  ctest --preset "$1" --show-only=json-v1 >"$build/tests.json"
  counted+=("$build/tests.json" "$build/wine-tests.xml")
}
stage "windows tests" product_tests windows

amd64_build() { cmake --preset windows-amd64 && cmake --build --preset windows-amd64; }
stage "windows-amd64 build" amd64_build
stage "windows-amd64 tests" product_tests windows-amd64

printf 'time: %s\n' "${times[@]}"
count=0
python3 scripts/wine_tests.py "${counted[@]}" || count=$?
if [ "$repro_status" -ne 0 ]; then
  echo "test-all: FAILED: a second build of the same inputs did not give the same bytes (reproducible: above)" >&2
  exit "$repro_status"
fi
[ "$status" -eq 0 ] || exit "$status"
exit "$count"
