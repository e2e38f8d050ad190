#!/bin/bash
# Gives the transform tools a difference they cannot express and checks that
# they refuse it: a non-zero exit, a message naming the table (or storage),
# and no output written or package changed.
#
#   refusal_case.sh <case>
#
# Environment: QMB_WINE, WINEPREFIX, QMB_SAMPLES, QMB_SCRATCH, QMB_MSIBUILD,
# QMB_MSITRANSFORM, QMB_MSIEMBED.
set -u

one_column='CREATE TABLE `QmbExtra` (`Id` CHAR(72) NOT NULL PRIMARY KEY `Id`)'
two_columns='CREATE TABLE `QmbExtra` (`Id` CHAR(72) NOT NULL, `Note` CHAR(20) PRIMARY KEY `Id`)'
narrow_key='CREATE TABLE `QmbExtra` (`Id` CHAR(10) NOT NULL PRIMARY KEY `Id`)'

name=$1
work="$QMB_SCRATCH/$name"
rm -rf "$work"
mkdir -p "$work"
cp "$QMB_SAMPLES/base.msi" "$work/base.msi"
cp "$QMB_SAMPLES/ja.msi" "$work/modified.msi"

winpath() { local p="$1"; echo "Z:${p//\//\\}"; }
wine_run() { env -u DISPLAY WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" "$QMB_WINE" "$@"; }
base_sql() { "$QMB_MSIBUILD" "$work/base.msi" -q "$1" || { echo "msibuild failed"; exit 2; }; }
modified_sql() { "$QMB_MSIBUILD" "$work/modified.msi" -q "$1" || { echo "msibuild failed"; exit 2; }; }

# case: what to change, then the words the message must hold.
tool=transform
case "$name" in
  schema_column_added)   base_sql "$one_column"; modified_sql "$two_columns"; words='QmbExtra columns' ;;
  schema_type_changed)   base_sql "$one_column"; modified_sql "$narrow_key";  words='QmbExtra s72 s10' ;;
  new_table)             modified_sql "$one_column";                         words='QmbExtra new' ;;
  dropped_table)         base_sql "$one_column";                             words='QmbExtra missing' ;;
  binary_changed)        cp "$QMB_SAMPLES/blob.msi" "$work/modified.msi";     words='Binary Data' ;;
  embed_name_taken)      tool=embed; package="$QMB_SAMPLES/sample.msi"; mst="$QMB_SAMPLES/ja.mst"
                         words='storage 1041' ;;
  embed_not_a_transform) tool=embed; package="$QMB_SAMPLES/base.msi"; mst="$QMB_SAMPLES/zh.msi"
                         words='zh.msi transform' ;;
  *) echo "unknown case $name"; exit 2 ;;
esac

if [ "$tool" = transform ]; then
  # The same inputs without the change must go through, so that a refusal
  # below is about the change and not about the harness.
  wine_run "$QMB_MSITRANSFORM" "$(winpath "$QMB_SAMPLES/base.msi")" "$(winpath "$QMB_SAMPLES/ja.msi")" \
    "$(winpath "$work/control.mst")" || { echo "$name: the unchanged packages were refused"; exit 1; }
  message=$(wine_run "$QMB_MSITRANSFORM" "$(winpath "$work/base.msi")" "$(winpath "$work/modified.msi")" \
    "$(winpath "$work/out.mst")" 2>&1)
  rc=$?
  written=$([ -e "$work/out.mst" ] && echo yes)
else
  cp "$package" "$work/package.msi"
  message=$(wine_run "$QMB_MSIEMBED" "$(winpath "$work/package.msi")" 1041 "$(winpath "$mst")" 2>&1)
  rc=$?
  written=$(cmp -s "$package" "$work/package.msi" || echo yes)
fi

failures=0
fail() { echo "$name: $*"; failures=$((failures + 1)); }
[ "$rc" -ne 0 ] || fail "was accepted (exit code 0)"
[ -z "$written" ] || fail "wrote its output although it refused"
for word in $words; do
  grep -qF -- "$word" <<<"$message" || fail "the message does not name '$word': $message"
done
[ "$failures" -eq 0 ] && echo "$name: refused as expected: $message"
exit $((failures > 0))
