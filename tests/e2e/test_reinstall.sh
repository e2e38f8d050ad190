#!/usr/bin/env bash
# The reinstall request: the kit package, given QMB_SAMPLE_STATUS on a first
# install, leaves that text as InstallStatus under HKLM\SOFTWARE\Morvanta,
# stored without its terminator. After the installer has run, "reinstall"
# (and only that) makes the bootstrapper remove the value and run the same
# command line once more, whose exit code becomes the run's. The sample kit
# counts its execute runs, and with QMB_SAMPLE_REPAIR_REBOOT=1 a run on the
# installed product ends with 3010, so the rerun's exit code can be told from
# the first run's. The other texts are left where they are.
#
# Usage: test_reinstall.sh EXE
source "$(dirname "$0")/lib.sh"
qmb_init "$1"

# status | further arguments | installer runs | exit code | InstallStatus afterwards, as stored
rows=(
  "reinstall||2|0|"
  "reinstall|QMB_SAMPLE_REPAIR_REBOOT=1|2|3010|"
  "exists||1|0|type=1 wide_bytes=12 ansi_bytes=6 text=exists"
  "decline|QMB_SAMPLE_REPAIR_REBOOT=1|1|0|type=1 wide_bytes=14 ansi_bytes=7 text=decline"
)
for row in "${rows[@]}"; do
  IFS='|' read -r status more runs code stored <<<"$row"
  args="/s QMB_SAMPLE_STATUS=$status${more:+ $more}"
  r="[$args]"
  qmb_log "--- arguments $r"
  qmb_reset_machine
  qmb_run_or_fail "$r" "$QMB_EXE" "$args" || continue

  expect_installer_runs "$r" "$runs"
  expect_eq "$r: full exit code (of the last installer run)" "$code" "$RUN_EXIT"
  if [[ -n "$stored" ]]; then
    expect_eq "$r: InstallStatus stays, as the package stored it (no terminator)" "$stored" \
      "$(qmb_reg_stored 'SOFTWARE\Morvanta' InstallStatus)"
  else
    expect_no_reg "$r: InstallStatus is removed" "$QMB_SETTINGS_KEY" InstallStatus
  fi
  # The follow-ups run after the rerun, whatever its exit code; the updater
  # phase only after a 0 (and never in the 64-bit flavour).
  expect_runtime_installed "$r" "$QMB_RUNTIME_DIR" "$QMB_RUNTIME_DIR_WIN" 1033 English
  expect_followup_files_deleted "$r"
  if [[ "$code" == 0 ]]; then
    expect_updater_phase "$r" 1
  else
    expect_no_updater_phase "$r"
  fi
  expect_absent "$r: the staging directory is removed" "$QMB_STAGING_DIR"
done
qmb_finish
