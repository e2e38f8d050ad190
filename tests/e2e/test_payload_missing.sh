#!/usr/bin/env bash
# Payloads with an item missing, in two builds of the product made from the
# same libraries (tests/e2e/programs): qmb-setup-nopackage.exe lacks the main
# package (item 101), qmb-setup-nocab112.exe the cabinet sz160390 (item 112).
#
# Without the package the run starts no installer and ends with 1, and the
# staging directory it made is removed; the installer tool is not even looked
# up, so a missing InstallerLocation does not turn that into -3.
#
# Without one cabinet the cabinet thread writes the other six and still sets
# the ready event; the package then fails to find the cabinet's file. Wine's
# msiexec says "cabinet not found" for sz160390.cab, rolls back and exits
# with 1603 (ERROR_INSTALL_FAILURE), which becomes the run's exit code.
#
# Usage: test_payload_missing.sh EXE   (the variants are run, not EXE)
source "$(dirname "$0")/lib.sh"
source "$(dirname "$0")/lib_variants.sh"
qmb_variants_init "$1"

no_package="$QMB_E2E_PROGRAMS_DIR/qmb-setup-nopackage.exe"
no_cabinet="$QMB_E2E_PROGRAMS_DIR/qmb-setup-nocab112.exe"
for exe in "$no_package" "$no_cabinet"; do
  [[ -f "$exe" ]] || { qmb_fail "the variant $exe is built"; qmb_finish; }
done
staging_win="$QMB_USER_DIR_WIN\\AppData\\LocalLow\\Qor\\Vesk\\qmb1.6.0_39"

# --- no package
for location in stand-in removed; do
  row="no package, InstallerLocation $location"
  qmb_log "--- $row"
  qmb_reset_machine
  qmb_use_recorder
  [[ "$location" == removed ]] && qmb_reg_delete "$QMB_INSTALLER_KEY" /v InstallerLocation
  if ! qmb_run "$no_package" ""; then
    qmb_fail "[$row] the exe could be run"
    continue
  fi
  expect_eq "[$row] exit code 1" 1 "$RUN_EXIT"
  expect_absent "[$row] no installer was started" "$QMB_RECORD"
  expect_absent "[$row] the staging directory it made is removed, with its Vesk and Qor folders" "$QMB_MAKER_DIR"
done

# --- no cabinet 112, with the stand-in: what the package would find.
row="no cabinet sz160390, stand-in"
qmb_log "--- $row"
qmb_reset_machine
qmb_use_recorder
if QMB_RECORD_LIST_DIR="$staging_win" qmb_run "$no_cabinet" ""; then
  expect_eq "[$row] the installer's exit code is the run's" 0 "$RUN_EXIT"
  expect_eq "[$row] the main command line" "\"$QMB_RECORDER_DIR_WIN\\msiexec.exe\" /i \"$staging_win\\qmb1.6.0_39.msi\"  WRAPPER=1" \
    "$(qmb_recorded_command_line)"
  expect_eq "[$row] the ready event was set" "event=signalled" "$(sed -n 2p "$QMB_RECORD" 2>/dev/null | tr -d '\r')"
  others=()
  for name in "${QMB_CABINET_NAMES[@]}"; do [[ "$name" == sz160390.cab ]] || others+=("$name"); done
  expect_eq "[$row] the package and the other six cabinets were complete at the event" \
    "$(qmb_payload_listing qmb1.6.0_39.msi "${others[@]}" | tr '\n' ' ')" "$(qmb_recorded_listing | tr '\n' ' ')"
  expect_absent "[$row] the staging directory is removed" "$QMB_STAGING_DIR"
else
  qmb_fail "[$row] the exe could be run"
fi

# --- no cabinet 112, with Wine's msiexec (what it does is the sample kit's).
row="no cabinet sz160390, Wine's msiexec"
qmb_log "--- $row"
qmb_reset_machine
if [[ "${QMB_E2E_SAMPLE_KIT:-0}" != 1 ]]; then
  qmb_log "not checked: the payload is not the sample kit"
elif QMB_RUN_WINEDEBUG=-all,err+msi qmb_run_winenv "$no_cabinet" ""; then
  expect_eq "[$row] the run's exit code is msiexec's 1603 (ERROR_INSTALL_FAILURE)" 1603 "$RUN_EXIT"
  expect_reg "[$row] the package waited for the ready event and saw it set" "$QMB_SAMPLE_KEY" CabWait signalled
  report="$(grep -a 'cabinet not found' "$QMB_WORK/run.err" | tr -d '\r' | head -1 || true)"
  if [[ "$report" == *'sz160390.cab"' ]]; then
    qmb_pass "[$row] msiexec reports the missing cabinet ($report)"
  else
    qmb_fail "[$row] msiexec reports the missing cabinet" 'expected: an msi error "cabinet not found: ...sz160390.cab"' \
      "seen: [$report]; msi errors: $(grep -a 'err:msi' "$QMB_WORK/run.err" | head -5 | tr '\n' ' ')"
  fi
  expect_absent "[$row] the cabinet's file is not installed" "$QMB_KIT_DIR/LEGAL.txt"
  expect_absent "[$row] the install was rolled back: no kit folder" "$QMB_KIT_DIR"
  if qmb_reg_key_exists "$QMB_UNINSTALL_KEY\\$QMB_KIT_PRODUCT_CODE"; then
    qmb_fail "[$row] the kit is not registered as installed" "seen: the key $QMB_UNINSTALL_KEY\\$QMB_KIT_PRODUCT_CODE"
  else
    qmb_pass "[$row] the kit is not registered as installed"
  fi
  expect_absent "[$row] the staging directory is removed" "$QMB_MAKER_DIR"
else
  qmb_fail "[$row] the exe could be run"
fi
qmb_finish
