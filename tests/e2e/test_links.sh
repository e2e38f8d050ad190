#!/usr/bin/env bash
# Links that another process of the user planted where the run works, for
# real under Wine: a Unix symbolic link (Wine reports it as a reparse point,
# as a junction would be) where each of the four folders of the run goes,
# and hard links named like the package, a cabinet and au.msi. Whatever the
# link leads to keeps every byte. A folder link ends the run with the create
# step's failure and 681 ("stopped after reaching a symbolic link"); a hard
# link is replaced by a file of the run's own and the run goes on. A staging
# directory left by an earlier run is emptied, removed and made anew: the run
# goes on and leaves neither it nor the files it held behind.
#
# Usage: test_links.sh EXE
source "$(dirname "$0")/lib.sh"
qmb_init "$1"

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
    expect_eq "$r nothing of the earlier staging directory is left" "" "$leftovers"
  fi
  if [[ $relative == */AU/au.msi ]]; then
    expect_same_file "$r au.msi is the run's own file" "$QMB_PAYLOAD_DIR/au.msi" "$planted"
  fi
done
qmb_finish
