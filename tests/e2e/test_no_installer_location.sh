#!/usr/bin/env bash
# Without InstallerLocation the installer tool cannot be located: the run
# ends with -3 at once, after the package was written and before the cabinet
# thread starts, and nothing is cleaned up.
#
# Usage: test_no_installer_location.sh EXE
source "$(dirname "$0")/lib.sh"
qmb_init "$1"

qmb_reg_delete "$QMB_INSTALLER_KEY" /v InstallerLocation
if value="$(qmb_reg_value "$QMB_INSTALLER_KEY" InstallerLocation)"; then
  qmb_fail "InstallerLocation removed for the test" "seen: [$value]"
  qmb_finish
fi

if ! qmb_run "$QMB_EXE" ""; then
  qmb_fail "the exe could be run"
  qmb_finish
fi
expect_eq "full exit code is -3" 4294967293 "$RUN_EXIT"
expect_eq "signed exit code" -3 "$RUN_EXIT_SIGNED"
expect_dir "the staging directory remains" "$QMB_STAGING_DIR"
expect_same_file "the package remains, complete" "$QMB_PAYLOAD_DIR/qmb1.6.0_39.msi" "$QMB_STAGING_DIR/qmb1.6.0_39.msi"
expect_eq "no cabinet was written (no cabinet thread)" "qmb1.6.0_39.msi" \
  "$(ls -A "$QMB_STAGING_DIR" 2>/dev/null | tr '\n' ' ' | sed 's/ $//')"
expect_no_reg "no package ran" "$QMB_SAMPLE_KEY" CabWait

qmb_reset_machine
expect_reg "InstallerLocation is restored" "$QMB_INSTALLER_KEY" InstallerLocation "$QMB_INSTALLER_LOCATION"
qmb_finish
