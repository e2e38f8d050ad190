#!/usr/bin/env bash
# A read-only file in the staging directory (left there before the run, set
# read-only through Windows' own attrib): the cleanup at the end of the run
# cannot delete it, so it stays with its bytes, and with it the staging
# directory and its Vesk and Qor parents. Everything the run wrote there
# itself (the package and the seven cabinets) is deleted all the same, and
# the run's exit code is still the installer tool's. The recording stand-in
# for msiexec waits for the ready event, so that every cabinet is complete
# before the cleanup starts.
#
# Usage: test_cleanup_read_only.sh EXE
source "$(dirname "$0")/lib.sh"
source "$(dirname "$0")/lib_variants.sh"
qmb_variants_init "$1"

# The files the run writes into the staging directory, as the stand-in lists them.
written=(qmb1.6.0_39.msi "${QMB_CABINET_NAMES[@]}")

for code in 0 1603 3010; do
  r="[installer exit code $code]"
  qmb_log "--- $r"
  qmb_reset_machine
  kept="$QMB_STAGING_DIR/left behind.txt"
  mkdir -p "$QMB_STAGING_DIR"
  printf 'written before the run\r\n\x00\xff' >"$kept"
  cp "$kept" "$QMB_WORK/kept.expected"
  qmb_wine cmd /c attrib +r "$(qmb_winpath "$kept")" >/dev/null 2>&1 || true
  # Wine keeps the read-only attribute as a file without write permission.
  if [[ "$(stat -c %A "$kept")" == *w* ]]; then
    qmb_fail "$r the file could be made read-only" "seen: $(stat -c %A "$kept")"
    continue
  fi

  qmb_use_recorder
  QMB_RECORD_LIST_DIR="$(qmb_winpath "$QMB_STAGING_DIR")" QMB_RECORD_EXIT=$code \
    qmb_run_or_fail "$r" "$QMB_EXE" "" || continue

  expect_eq "$r full exit code is the installer's" "$code" "$RUN_EXIT"
  expect_eq "$r one installer run" 1 "$(qmb_recorded_runs)"
  expect_eq "$r the installer found the package and every cabinet beside the file" \
    "$({ qmb_payload_listing "${written[@]}"; printf 'file=left behind.txt %s\n' "$(stat -c %s "$QMB_WORK/kept.expected")"; } | sort)" \
    "$(qmb_recorded_listing)"
  expect_eq "$r the cabinets were complete before the run went on" event=signalled \
    "$(grep -a '^event=' "$QMB_RECORD" | tr -d '\r' | head -1)"

  expect_same_file "$r the read-only file stays, unchanged" "$QMB_WORK/kept.expected" "$kept"
  expect_eq "$r everything the run wrote is deleted: only the read-only file is left" "left behind.txt" \
    "$(ls -A "$QMB_STAGING_DIR" 2>/dev/null | tr '\n' '|' | sed 's/|$//')"
  expect_eq "$r the Vesk folder stays, holding the staging directory" qmb1.6.0_39 \
    "$(ls -A "$QMB_MAKER_DIR/Vesk" 2>/dev/null | tr '\n' ' ' | sed 's/ $//')"
  expect_eq "$r the Qor folder stays, holding the Vesk folder" Vesk \
    "$(ls -A "$QMB_MAKER_DIR" 2>/dev/null | tr '\n' ' ' | sed 's/ $//')"
done
qmb_finish
