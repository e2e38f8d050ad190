#!/usr/bin/env bash
# The full benchmark of qmb-setup.exe under Wine (README.md, "Benchmarks"):
# installs what it needs, builds the two benchmark payloads and the exe, the
# peer and the benchmark programs for each (build/bench-win-full,
# build/bench-win-tenth), runs every contender interleaved in a private Wine
# prefix (build/bench-prefix) and prints the figures, which it also writes to
# build/bench-results.md and build/bench-results.json.
#
#   bench/run.sh [--reps N] [--warmup N] [--jobs N]      (default: 20, 1, 2)
#   bench/run.sh --smoke                                 one quick checked run
#   bench/run.sh --flavour amd64 [...]                   the 64-bit exe against 64-bit builds of the
#                                                        control, the control with the libraries and the
#                                                        limit program, natively under wine64
#                                                        (build/bench-win64-*, build/bench-prefix64,
#                                                        build/bench-results-amd64.*)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
exec python3 bench/bench.py "$@"
