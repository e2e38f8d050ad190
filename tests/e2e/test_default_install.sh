#!/usr/bin/env bash
# The exe with no arguments installs the sample kit through Wine's own
# msiexec, interactively (no /q): the package waits for the ready event in its
# user-interface sequence, the cabinet thread sets it, the kit's files are
# installed from the seven cabinets, and the staging directory is removed.
# The kit's own user-interface sequence installs the two follow-up packages
# (the bootstrapper does that only in silent mode, and deletes their files
# then): so the runtime is registered, and the updater phase follows (not in
# the 64-bit flavour, which skips it).
#
# Usage: test_default_install.sh EXE
source "$(dirname "$0")/lib.sh"
qmb_init "$1"

if ! qmb_run "$QMB_EXE" ""; then
  qmb_fail "the exe could be run"
  qmb_finish
fi
expect_eq "full exit code is msiexec's success" 0 "$RUN_EXIT"

expect_reg "the package's wait step saw the ready event set" "$QMB_SAMPLE_KEY" CabWait signalled
expect_reg "the wait ran in the user-interface sequence" "$QMB_SAMPLE_KEY" CabWaitStep InstallUISequence

qmb_extract_kit_cabinets
for name in "${QMB_KIT_FILE_NAMES[@]}"; do
  expect_same_file "installed $name matches the cabinets" "$QMB_KIT_REFERENCE/$name" "$QMB_KIT_DIR/$name"
done
expect_reg "VeskHome names the kit's folder" "$QMB_KIT_KEY" VeskHome \
  "$QMB_PROGRAM_FILES_WIN\\Morvanta\\Vesk 1.6.0_39\\"
if qmb_reg_key_exists "$QMB_UNINSTALL_KEY\\$QMB_KIT_PRODUCT_CODE"; then
  qmb_pass "the kit is registered as installed"
else
  qmb_fail "the kit is registered as installed" "expected the key $QMB_UNINSTALL_KEY\\$QMB_KIT_PRODUCT_CODE" "seen: no such key"
fi

expect_installer_runs "one installer run" 1
expect_package_from_staging "the default install"

row="the kit's user-interface sequence"
expect_runtime_installed "$row" "$QMB_RUNTIME_DIR" "$QMB_RUNTIME_DIR_WIN" 1033 English
expect_database_installed "$row" "$QMB_DATABASE_DIR" "$QMB_DATABASE_DIR_WIN"
expect_updater_phase "after a successful install with the runtime registered" 1

expect_absent "the staging directory is removed" "$QMB_STAGING_DIR"
expect_vesk_folder_left "after the run"
qmb_finish
