#!/usr/bin/env bash
# Links that another process of the user planted where the run works, for
# real under Wine: a Unix symbolic link (Wine reports it as a reparse point,
# as a junction would be) where each of the four folders of the run goes,
# and hard links named like the package, a cabinet and au.msi. Whatever the
# link leads to keeps every byte. A folder link ends the run with the create
# step's failure and 681 ("stopped after reaching a symbolic link"); a hard
# link is replaced by a file of the run's own and the run goes on. A staging
# directory left by an earlier run is renamed aside whole, in one step, under
# a name nobody could have predicted, and the run makes its own anew: under
# Wine, which keeps no owners, nothing proves the old folder an earlier run's,
# so it stays there with every byte, as any folder of the user's would.
#
# A link or a redirection above the data folder is the user's own choice, as
# the shell setting that names the data folder is: a profile reached through
# a link, and the system account's profile below the system directory (which
# a 32-bit process on 64-bit Windows is redirected from, to SysWOW64) install
# for real, and the installer gets the path the folders really have, so that
# nothing later follows the link again.
#
# Usage: test_links.sh EXE
source "$(dirname "$0")/lib.sh"
source "$(dirname "$0")/lib_variants.sh"
qmb_variants_init "$1"

victim="$QMB_WORK/victim"
# row name | path below the data folder (LocalLow) | folder link, hard link or left folder | exit code
# (The flavour's staging directory; the 64-bit flavour never goes where the
# updater folder goes, so its rows are the 32-bit product's.)
staging="Qor/Vesk/$QMB_STAGING_NAME"
rows=(
  "a link where the maker folder goes|Qor|link|681"
  "a link where the product folder goes|Qor/Vesk|link|681"
  "a link where the staging directory goes|$staging|link|681"
  "a link where the updater folder goes|Qor/Vesk/AU|link|681"
  "a hard link named like the package|$staging/qmb1.6.0_39.msi|hard|0"
  "a hard link named like a cabinet|$staging/sj160390.cab|hard|0"
  "a hard link named like the updater|Qor/Vesk/AU/au.msi|hard|0"
  "a staging directory left by an earlier run|$staging|left|0"
)
for row in "${rows[@]}"; do
  IFS='|' read -r name relative kind code <<<"$row"
  [[ "$relative" == */AU* ]] && ((!QMB_UPDATER_PHASE)) && continue
  r="[$name]"
  qmb_log "--- $r"
  qmb_reset_machine
  mkdir -p "$victim"
  printf 'what the link leads to\r\n\x00\x01\xfe\xff' >"$victim/victim.dll"
  cp -R "$victim" "$QMB_WORK/victim.expected"
  planted="$QMB_LOCALLOW/$relative"
  mkdir -p "$(dirname "$planted")"
  if [[ $kind == link ]]; then
    ln -s "$victim" "$planted"
  elif [[ $kind == hard ]]; then
    ln "$victim/victim.dll" "$planted"
  else
    mkdir -p "$planted"
    printf 'an earlier package' >"$planted/qmb1.6.0_39.msi"
    printf 'an earlier cabinet' >"$planted/ss160390.cab"
    printf 'left over' >"$planted/old.tmp"
  fi

  if ! qmb_run "$QMB_EXE" "/s"; then
    qmb_fail "$r the exe could be run"
    continue
  fi
  expect_eq "$r full exit code" "$code" "$RUN_EXIT"
  if diff -r "$QMB_WORK/victim.expected" "$victim" >/dev/null 2>&1; then
    qmb_pass "$r what the link leads to keeps every byte"
  else
    qmb_fail "$r what the link leads to keeps every byte" "$(ls -la "$victim" 2>&1)"
  fi
  if [[ $kind == link && -L "$planted" ]]; then
    qmb_pass "$r the link itself is left alone"
  elif [[ $kind == link ]]; then
    qmb_fail "$r the link itself is left alone" "$(qmb_describe_path "$planted")"
  fi
  if [[ $kind == left ]]; then
    leftovers="$(ls -A "$QMB_MAKER_DIR/Vesk" 2>/dev/null | grep -v '^AU$' || true)"
    if [[ "$leftovers" =~ ^~qmb[0-9a-f]{16}\.tmp$ ]]; then
      qmb_pass "$r the earlier staging directory is renamed aside under an unpredictable name ($leftovers)"
      aside="$QMB_MAKER_DIR/Vesk/$leftovers"
      expect_eq "$r it keeps its files" "old.tmp qmb1.6.0_39.msi ss160390.cab" "$(ls "$aside" | sort | tr '\n' ' ' | sed 's/ $//')"
      expect_eq "$r and their bytes" "an earlier package" "$(cat "$aside/qmb1.6.0_39.msi")"
    else
      qmb_fail "$r the earlier staging directory is renamed aside under an unpredictable name" \
        "expected one folder ~qmb<16 hexadecimal digits>.tmp beside AU" "seen: [$leftovers]"
    fi
  fi
  if [[ $relative == */AU/au.msi ]]; then
    expect_same_file "$r au.msi is the run's own file" "$QMB_PAYLOAD_DIR/au.msi" "$planted"
  fi
done

# ------------------------------------------------------------------ data folders behind a link or a redirection
qmb_trace_process_starts
profile="$QMB_TEST_DRIVE_DIR/profile"
system_win="$(qmb_winpath "$WINEPREFIX/drive_c/windows/system32")"
sysprofile_win="$system_win\\config\\systemprofile\\AppData\\LocalLow"
qmb_on_exit rm -rf "$WINEPREFIX/drive_c/windows/system32/config/systemprofile/AppData/LocalLow/Qor" \
  "$WINEPREFIX/drive_c/windows/syswow64/config/systemprofile/AppData/LocalLow/Qor"
if [[ "${QMB_E2E_WINEARCH:-win32}" == win64 && "$QMB_E2E_FLAVOUR" != amd64 ]]; then
  # Where a 32-bit process's system directory really is, as Wine names it
  # (a 64-bit process has no redirection of its own).
  real_sysprofile_win="${sysprofile_win/\\system32\\/\\syswow64\\}"
  real_sysprofile="$WINEPREFIX/drive_c/windows/syswow64/config/systemprofile/AppData/LocalLow"
else
  real_sysprofile_win="$sysprofile_win"
  real_sysprofile="$WINEPREFIX/drive_c/windows/system32/config/systemprofile/AppData/LocalLow"
fi
# row | data folder named in the shell setting | where it really is (Windows, Unix)
data_rows=(
  "a profile reached through a link above the data folder|C:\\qmb-e2e\\profile\\LocalLow|C:\\qmb-e2e\\moved-profile\\LocalLow|$QMB_TEST_DRIVE_DIR/moved-profile/LocalLow"
  "the system account's profile, below the system directory|$sysprofile_win|$real_sysprofile_win|$real_sysprofile"
)
for row in "${data_rows[@]}"; do
  IFS='|' read -r name named_win real_win real <<<"$row"
  r="[$name]"
  qmb_log "--- $r"
  qmb_reset_machine
  mkdir -p "$QMB_TEST_DRIVE_DIR/moved-profile/LocalLow" "$real"
  ln -s "$QMB_TEST_DRIVE_DIR/moved-profile" "$profile"
  qmb_redirect_shell_folder "$QMB_LOCALLOW_VALUE" "$named_win"
  if ! QMB_TRACE_BOXES=1 qmb_run "$QMB_EXE" "/qn"; then
    qmb_fail "$r the exe could be run"
    continue
  fi
  expect_eq "$r full exit code" 0 "$RUN_EXIT"
  package="$(qmb_process_starts | cut -d'|' -f2- | grep -F ' /i "' | head -1 | sed -E 's/^[^"]*"[^"]*" \/i "([^"]*)".*$/\1/')"
  expect_eq "$r the installer gets the path the package really has" \
    "${real_win,,}\\qor\\vesk\\${QMB_STAGING_NAME,,}\\qmb1.6.0_39.msi" "${package,,}"
  expect_installer_runs "$r" 1
  for file in "${QMB_KIT_FILE_NAMES[@]}"; do
    expect_file "$r the kit's $file is installed (the installer found the seven cabinets)" "$QMB_KIT_DIR/$file"
  done
  expect_absent "$r the staging directory is removed" "$real/Qor/Vesk/$QMB_STAGING_NAME"
done
qmb_finish
