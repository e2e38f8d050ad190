#!/usr/bin/env bash
# Fixture: ends every process of the test prefix, the persistent wineserver
# included. The prefix itself stays for inspection until the next run.
set -euo pipefail
: "${WINEPREFIX:?}"
wineserver -k 2>/dev/null || true
echo "wineserver of $WINEPREFIX ended"
