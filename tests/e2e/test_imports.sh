#!/usr/bin/env bash
# The exe imports from system libraries only: kernel32, user32, advapi32,
# shell32 and msvcrt. Everything else (version.dll, shfolder.dll, msi.dll)
# must be loaded at run time by full path, never through the import table,
# where the loader would search the exe's own folder first.
#
# Usage: test_imports.sh OBJDUMP EXE
set -euo pipefail
objdump="$1" exe="$2"
allowed=(kernel32.dll user32.dll advapi32.dll shell32.dll msvcrt.dll)

dump="$("$objdump" -p "$exe")" || { echo "FAIL: $objdump -p $exe failed"; exit 1; }
mapfile -t imports < <(printf '%s\n' "$dump" | sed -n -E 's/^[[:space:]]*DLL Name: (.*)$/\1/p' | tr '[:upper:]' '[:lower:]')
echo "imports of $(basename "$exe"): ${imports[*]:-none}"
if ((${#imports[@]} == 0)); then
  echo "FAIL: no import table entries found (kernel32.dll at least is expected)"
  exit 1
fi
bad=()
for dll in "${imports[@]}"; do
  ok=0
  for a in "${allowed[@]}"; do [[ "$dll" == "$a" ]] && ok=1; done
  ((ok)) || bad+=("$dll")
done
if ((${#bad[@]})); then
  echo "FAIL: imports outside the system set"
  echo "      allowed: ${allowed[*]}"
  echo "      seen:    ${bad[*]}"
  exit 1
fi
echo "ok:   every import is one of: ${allowed[*]}"
