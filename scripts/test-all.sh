#!/usr/bin/env bash
# Runs every test: the host unit tests against the simulated machine, the
# fuzz targets for a fixed time each, then the product build and its
# end-to-end tests under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

cmake --preset host
cmake --build --preset host
ctest --preset host -j2

cmake --preset fuzz
cmake --build --preset fuzz
ctest --preset fuzz

cmake --preset windows
cmake --build --preset windows
ctest --preset windows
