#!/usr/bin/env bash
# The Windows Installer version gate, with stand-in msi.dll files of several
# versions. Only the exe under test loads msi.dll natively (a per-exe
# DllOverride); msiexec keeps Wine's own.
#
# A version below 2.0.2600.0, or no version information, must end the run
# with -2 after one message box with the English version message, before any
# staging directory exists. A version at or above it passes; InstallerLocation
# is removed for those rows, so that the run stops right after the gate with
# -3 and leaves the package it wrote as proof that it went on.
#
# Usage: test_version_gate.sh EXE
source "$(dirname "$0")/lib.sh"
qmb_init "$1"

# stand-in file | outcome | what it is
rows=(
  "oldmsi.dll|old|2.0.2599.65535, one below 2.0.2600.0"
  "fakemsi-1.20.1827.0.dll|old|1.20.1827.0"
  "fakemsi-noversion.dll|old|no version information"
  "fakemsi-2.0.2600.0.dll|new|exactly 2.0.2600.0"
  "fakemsi-3.1.4000.2435.dll|new|3.1.4000.2435"
)

for row in "${rows[@]}"; do
  IFS='|' read -r dll outcome what <<<"$row"
  qmb_log "--- msi.dll $what ($dll)"
  qmb_reset_machine
  cp "$QMB_TOOLS_DIR/$dll" "$QMB_SYSTEM32_DIR/msi.dll"
  qmb_wine reg add "HKCU\\Software\\Wine\\AppDefaults\\$QMB_EXE_NAME\\DllOverrides" /v msi /d native /f >/dev/null
  [[ "$outcome" == new ]] && qmb_reg_delete "$QMB_INSTALLER_KEY" /v InstallerLocation

  if ! QMB_TRACE_BOXES=1 qmb_run "$QMB_EXE" ""; then
    qmb_fail "[$what] the exe could be run"
    continue
  fi
  boxes="$(qmb_message_boxes)"
  if [[ "$outcome" == old ]]; then
    expect_eq "[$what] full exit code is -2" 4294967294 "$RUN_EXIT"
    want="00000010||$QMB_VERSION_MESSAGE_EN"
    if [[ "$boxes" == "$want" ]]; then
      qmb_pass "[$what] one message box: the English version message, empty caption, MB_OK|MB_ICONERROR"
    else
      qmb_fail "[$what] one message box: the English version message, empty caption, MB_OK|MB_ICONERROR" \
        "expected: [$want]" "$(qmb_describe_boxes)"
    fi
    expect_absent "[$what] no staging directory (nor its parents) was created" "$QMB_MAKER_DIR"
  else
    expect_eq "[$what] the gate passed: the run went on to the tool lookup (-3)" 4294967293 "$RUN_EXIT"
    expect_eq "[$what] no message box" "" "$boxes"
    expect_file "[$what] the package was written" "$QMB_STAGING_DIR/qmb1.6.0_39.msi"
  fi
done
qmb_finish
