#!/usr/bin/env bash
# A read-only file in a staging directory left by an earlier run (set
# read-only through Windows' own attrib), which that run's cleanup could not
# delete. The run writes only into a staging directory it makes itself, so
# the old one is renamed aside whole first, under a name nobody can predict
# (~qmb and 16 hexadecimal digits), and the read-only file stays in it with
# its bytes and its attribute (under Wine nothing proves the old folder an
# earlier run's, so it is not emptied; on Windows an earlier run's is, and a
# read-only file is left there all the same). The install goes on as ever:
# the installer finds the package and the seven cabinets alone, the run's
# exit code is the installer tool's, and the cleanup removes the staging
# directory; Vesk and Qor stay, holding the kept folder. The recording stand-in
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
  expect_eq "$r the installer found the package and every cabinet, and nothing else" \
    "$(qmb_payload_listing "${written[@]}" | sort)" "$(qmb_recorded_listing)"
  expect_eq "$r the cabinets were complete before the run went on" event=signalled \
    "$(grep -a '^event=' "$QMB_RECORD" | tr -d '\r' | head -1)"

  moved=("$QMB_MAKER_DIR"/Vesk/~qmb*.tmp)
  if ((${#moved[@]} == 1)) && [[ -d "${moved[0]}" && "$(basename "${moved[0]}")" =~ ^~qmb[0-9a-f]{16}\.tmp$ ]]; then
    kept_now="${moved[0]}/left behind.txt"
    expect_same_file "$r the read-only file is kept in the renamed folder, unchanged" "$QMB_WORK/kept.expected" \
      "$kept_now"
    if [[ "$(stat -c %A "$kept_now")" == *w* ]]; then
      qmb_fail "$r the kept file is still read-only" "seen: $(stat -c %A "$kept_now")"
    else
      qmb_pass "$r the kept file is still read-only"
    fi
  else
    qmb_fail "$r the old staging directory is renamed aside under an unpredictable name" \
      "$(qmb_describe_path "$QMB_MAKER_DIR/Vesk")"
  fi
  expect_absent "$r the staging directory is removed" "$QMB_STAGING_DIR"
  expect_eq "$r the Vesk folder stays, holding only the kept folder" "$(basename "${moved[0]}")" \
    "$(ls -A "$QMB_MAKER_DIR/Vesk" 2>/dev/null | tr '\n' ' ' | sed 's/ $//')"
  expect_eq "$r the Qor folder stays, holding the Vesk folder" Vesk \
    "$(ls -A "$QMB_MAKER_DIR" 2>/dev/null | tr '\n' ' ' | sed 's/ $//')"
done
qmb_finish
