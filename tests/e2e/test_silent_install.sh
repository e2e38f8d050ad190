#!/usr/bin/env bash
# The typical silent run, "/s", and its variants with every feature and with
# the follow-up folders given: the kit installs from the seven cabinets
# without a user interface (its wait step runs in the execute sequence), then
# the bootstrapper installs the follow-up packages that the chosen features
# put into the kit's folder and deletes the four follow-up files, then, the
# runtime being registered, installs the updater and registers the runtime
# with it, and removes the staging directory.
#
# "/s" alone selects PubliczlpFeature and ToolsFeature, so the kit does not
# install veskdb.msi and the database follow-up does not run; ADDLOCAL=ALL
# brings it in.
#
# Usage: test_silent_install.sh EXE
source "$(dirname "$0")/lib.sh"
qmb_init "$1"
qmb_extract_kit_cabinets

# arguments | database installed | runtime folder | database folder
# (folders under C:\qmb-e2e; empty: the package's default)
rows=(
  "/s|no||"
  "/s ADDLOCAL=ALL|yes||"
  '/s ADDLOCAL=ALL /INSTALLDIRPUBZLP=C:\qmb-e2e\runtime /INSTALLDIRVESKDB=C:\qmb-e2e\db|yes|runtime|db'
)
for row in "${rows[@]}"; do
  IFS='|' read -r args database runtime_folder database_folder <<<"$row"
  r="[$args]"
  qmb_log "--- arguments $r"
  qmb_reset_machine
  qmb_run_or_fail "$r" "$QMB_EXE" "$args" || continue

  expect_eq "$r: full exit code is msiexec's success" 0 "$RUN_EXIT"
  expect_installer_runs "$r" 1
  expect_package_from_staging "$r"
  expect_reg "$r: the wait ran in the execute sequence" "$QMB_SAMPLE_KEY" CabWaitStep InstallExecuteSequence
  expect_reg "$r: the wait saw the ready event set" "$QMB_SAMPLE_KEY" CabWait signalled
  expect_product "$r: the kit is installed" "$QMB_KIT_PRODUCT_CODE" installed
  expect_reg "$r: the kit is English (no transform)" "$QMB_KIT_KEY" Language 1033
  expect_no_reg "$r: the package was asked for no install status" "$QMB_SETTINGS_KEY" InstallStatus

  # The kit's own files of the chosen features stay; the follow-up files go.
  for name in tools.tar unpack.exe LEGAL.txt vesksetup.dll; do
    expect_same_file "$r: the kit's $name is installed" "$QMB_KIT_REFERENCE/$name" "$QMB_KIT_DIR/$name"
  done
  if [[ "$args" == *ADDLOCAL=ALL* ]]; then
    expect_same_file "$r: the kit's src.tar is installed (ADDLOCAL=ALL)" "$QMB_KIT_REFERENCE/src.tar" "$QMB_KIT_DIR/src.tar"
  else
    expect_absent "$r: the source feature is not chosen by default" "$QMB_KIT_DIR/src.tar"
  fi
  expect_followup_files_deleted "$r"

  if [[ -n "$runtime_folder" ]]; then
    expect_runtime_installed "$r" "$QMB_TEST_DRIVE_DIR/$runtime_folder" "C:\\qmb-e2e\\$runtime_folder" 1033 English
    expect_absent "$r: nothing in the runtime's default folder" "$QMB_RUNTIME_DIR"
  else
    expect_runtime_installed "$r" "$QMB_RUNTIME_DIR" "$QMB_RUNTIME_DIR_WIN" 1033 English
  fi
  if [[ "$database" == no ]]; then
    expect_product "$r: no database follow-up: the kit did not install veskdb.msi" "$QMB_DATABASE_PRODUCT_CODE" absent
  elif [[ -n "$database_folder" ]]; then
    expect_database_installed "$r" "$QMB_TEST_DRIVE_DIR/$database_folder" "C:\\qmb-e2e\\$database_folder"
    expect_absent "$r: nothing in the database's default folder" "$QMB_DATABASE_DIR"
  else
    expect_database_installed "$r" "$QMB_DATABASE_DIR" "$QMB_DATABASE_DIR_WIN"
  fi

  expect_updater_phase "$r" 1
  expect_absent "$r: the staging directory is removed" "$QMB_STAGING_DIR"
  expect_vesk_folder_left "$r"
done
qmb_finish
