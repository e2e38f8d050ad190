#!/bin/bash
# Installs the sample package under Wine with one TRANSFORMS choice and checks
# the registry values the install wrote, then uninstalls and clears them.
#
#   install_case.sh <case>
#
# Environment (set by the test registration): QMB_WINE, WINEPREFIX,
# QMB_SAMPLES (sample.msi with the storages 1041 and 2052, base.msi without
# any, ja.mst, zh.mst).
set -u

product='{6B0F3C2A-91D4-4E57-A8C3-2F7E5D1B9A60}'
key='HKLM\Software\QmbTransformSample'
kit_dir="$WINEPREFIX/drive_c/qmbtransform"

# case           package   TRANSFORMS argument                    Greeting   Edition  Added Dropped  (- = absent)
cases='
untransformed    embedded  -                                      Hello      Standard -     base
embedded_1041    embedded  TRANSFORMS=:1041                       Konnichiwa Japanese ja    -
embedded_2052    embedded  TRANSFORMS=:2052                       NiHao      Chinese  zh    -
absent_1033      embedded  TRANSFORMS=:1033                       Hello      Standard -     base
external_1041    external  TRANSFORMS=C:\qmbtransform\zlp1041.MST Konnichiwa Japanese ja    -
external_2052    external  TRANSFORMS=C:\qmbtransform\zlp2052.MST NiHao      Chinese  zh    -
'
row=$(awk -v c="$1" '$1 == c' <<<"$cases")
if [ -z "$row" ]; then echo "unknown case $1"; exit 2; fi
read -r name package transforms greeting edition added dropped <<<"$row"

wine_run() { env -u DISPLAY WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" "$QMB_WINE" "$@"; }

# Prints the data of a REG_SZ value of the sample key, nothing when absent.
value_of() {
  wine_run reg query "$key" /v "$1" /reg:32 2>/dev/null | tr -d '\r' |
    sed -n "s/^ *$1  *REG_SZ  *//p"
}

# Uninstall (1605, seen as 69, when not installed) and delete the key: an
# uninstall under Wine does not reapply the transform, so rows it inserted
# stay behind in the registry.
reset() {
  wine_run msiexec /x "$product" /qn
  local rc=$?
  if [ "$rc" -ne 0 ] && [ "$rc" -ne 69 ]; then echo "uninstall gave exit code $rc"; fi
  wine_run reg delete "$key" /reg:32 /f >/dev/null 2>&1
  rm -rf "$kit_dir"
}
trap reset EXIT

reset
if [ -n "$(value_of Greeting)" ]; then echo "$name: the sample key could not be cleared"; exit 1; fi

if [ "$package" = external ]; then
  mkdir -p "$kit_dir"
  cp "$QMB_SAMPLES/base.msi" "$kit_dir/zlp.msi"
  cp "$QMB_SAMPLES/ja.mst" "$kit_dir/zlp1041.MST"
  cp "$QMB_SAMPLES/zh.mst" "$kit_dir/zlp2052.MST"
  msi='C:\qmbtransform\zlp.msi'
else
  msi="Z:${QMB_SAMPLES//\//\\}\\sample.msi"
fi
args=(/i "$msi")
[ "$transforms" != - ] && args+=("$transforms")
args+=(/qn)

# The messages of Wine's msi are kept: a transform name the package does not
# hold is reported only there.
log=$(env -u DISPLAY WINEDEBUG=-all,err+msi WINEDLLOVERRIDES="mscoree,mshtml=" "$QMB_WINE" msiexec "${args[@]}" 2>&1)
rc=$?
failures=0
fail() { echo "$name: $*"; failures=$((failures + 1)); }

[ "$rc" -eq 0 ] || fail "msiexec ${args[*]} gave exit code $rc: $log"
for check in "Greeting $greeting" "Edition $edition" "Added $added" "Dropped $dropped"; do
  read -r value expected <<<"$check"
  actual=$(value_of "$value")
  [ "$expected" = - ] && expected=''
  [ "$actual" = "$expected" ] || fail "$value is '${actual}', expected '${expected}' (empty: absent)"
done
if [ "$name" = absent_1033 ]; then
  # Wine installs untransformed and exits 0 when the named storage is missing
  # (Windows documents 1624); its log shows that the name was looked up.
  grep -q 'failed to open substorage L"1033"' <<<"$log" || fail "no sign that storage 1033 was looked up: $log"
fi

[ "$failures" -eq 0 ] && echo "$name: passed"
exit $((failures > 0))
