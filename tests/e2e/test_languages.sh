#!/usr/bin/env bash
# The installer languages besides English: "/lang=1041" and "/lang=2052" make
# the bootstrapper pass TRANSFORMS=:1041 or :2052, the kit's embedded
# transforms, which change its language and greeting. The runtime follow-up
# then gets the matching external transform, zlp1041.MST or zlp2052.MST: in
# silent mode from the bootstrapper (which deletes the follow-up files
# afterwards), interactively from the kit's own user-interface sequence
# (which leaves them). Wine picks the same user language whatever LANG says,
# so the language is chosen with /lang=.
#
# Usage: test_languages.sh EXE
source "$(dirname "$0")/lib.sh"
qmb_init "$1"

# arguments | language | kit greeting | runtime edition
rows=(
  "/lang=1041|1041|Konnichiwa|Japanese"
  "/lang=2052|2052|NiHao|Chinese (Simplified)"
  "/s /lang=1041|1041|Konnichiwa|Japanese"
  "/s /lang=2052|2052|NiHao|Chinese (Simplified)"
)
for row in "${rows[@]}"; do
  IFS='|' read -r args language greeting edition <<<"$row"
  r="[$args]"
  qmb_log "--- arguments $r"
  qmb_reset_machine
  qmb_run_or_fail "$r" "$QMB_EXE" "$args" || continue

  expect_eq "$r: full exit code is msiexec's success" 0 "$RUN_EXIT"
  expect_reg "$r: the kit's embedded transform set its language" "$QMB_KIT_KEY" Language "$language"
  expect_reg "$r: the kit's embedded transform set its greeting" "$QMB_KIT_KEY" Greeting "$greeting"
  expect_runtime_installed "$r" "$QMB_RUNTIME_DIR" "$QMB_RUNTIME_DIR_WIN" "$language" "$edition"
  if [[ "$args" == /s* ]]; then
    expect_followup_files_deleted "$r"
  else
    expect_database_installed "$r" "$QMB_DATABASE_DIR" "$QMB_DATABASE_DIR_WIN"
    for name in zlp.msi zlp1041.MST zlp2052.MST veskdb.msi; do
      expect_file "$r: the kit's $name stays (no silent follow-up phase)" "$QMB_KIT_DIR/$name"
    done
  fi
  expect_updater_phase "$r" 1
done
qmb_finish
