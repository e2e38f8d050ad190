#!/usr/bin/env bash
# Without a usable InstallerLocation the installer tool cannot be located:
# the run ends with -3 at once, after the package was written and before the
# cabinet thread starts, and nothing is cleaned up. The tool's path is the
# location followed by "\msiexec.exe" and must fit 259 characters: a
# location of 247 characters still gives a tool (the recording stand-in is
# put there and runs), one of 248 is one too many, and one of 300 does not
# even fit the read.
#
# A location that holds no msiexec.exe gives a tool that cannot be started:
# the run ends with 1 while the cabinet thread is still writing. The thread
# is told to stop and awaited before the cleanup, so the relay trace shows
# no message box, and nothing is left of the staging directory.
#
# Usage: test_no_installer_location.sh EXE
source "$(dirname "$0")/lib.sh"
source "$(dirname "$0")/lib_variants.sh"
qmb_variants_init "$1"

# A Windows folder below C:\qmb-e2e of exactly N characters, in components
# of at most 100.
location_of_length() {
  local n="$1" path='C:\qmb-e2e' part
  while ((n - ${#path} > 101)); do
    printf -v part '%*s' 100 ''
    path+="\\${part// /l}"
  done
  printf -v part '%*s' $((n - ${#path} - 1)) ''
  path+="\\${part// /m}"
  printf '%s' "$path"
}

package_win="$QMB_USER_DIR_WIN\\AppData\\LocalLow\\Qor\\Vesk\\qmb1.6.0_39\\qmb1.6.0_39.msi"

# name | InstallerLocation: "removed" or its length
rows=(
  "no InstallerLocation|removed"
  "a tool path of 259 characters|247"
  "a tool path of 260 characters|248"
  "a location longer than the read takes|300"
)
for row in "${rows[@]}"; do
  IFS='|' read -r name location <<<"$row"
  r="[$name]"
  qmb_log "--- $r"
  qmb_reset_machine
  if [[ "$location" == removed ]]; then
    qmb_reg_delete "$QMB_INSTALLER_KEY" /v InstallerLocation
    if value="$(qmb_reg_value "$QMB_INSTALLER_KEY" InstallerLocation)"; then
      qmb_fail "$r InstallerLocation removed for the test" "seen: [$value]"
      continue
    fi
  else
    folder_win="$(location_of_length "$location")"
    # The stand-in where the location points: it runs only when the tool path fits.
    qmb_use_recorder "$folder_win"
    expect_eq "$r InstallerLocation as stored" "$location" "$(qmb_reg_value "$QMB_INSTALLER_KEY" InstallerLocation | wc -c)"
  fi

  QMB_RECORD_EXIT=1641 qmb_run_or_fail "$r" "$QMB_EXE" "" || continue
  if [[ "$location" == 247 ]]; then
    expect_eq "$r full exit code is the stand-in's" 1641 "$RUN_EXIT"
    expect_eq "$r the tool of that location runs" "\"$folder_win\\msiexec.exe\" /i \"$package_win\"  WRAPPER=1" \
      "$(qmb_recorded_command_line)"
    expect_absent "$r the staging directory is removed" "$QMB_STAGING_DIR"
    continue
  fi
  expect_eq "$r full exit code is -3" 4294967293 "$RUN_EXIT"
  expect_eq "$r signed exit code" -3 "$RUN_EXIT_SIGNED"
  [[ "$location" == removed ]] || expect_absent "$r the stand-in there did not run" "$QMB_RECORD"
  expect_dir "$r the staging directory remains" "$QMB_STAGING_DIR"
  expect_same_file "$r the package remains, complete" "$QMB_PAYLOAD_DIR/qmb1.6.0_39.msi" "$QMB_STAGING_DIR/qmb1.6.0_39.msi"
  expect_eq "$r no cabinet was written (no cabinet thread)" "qmb1.6.0_39.msi" \
    "$(ls -A "$QMB_STAGING_DIR" 2>/dev/null | tr '\n' ' ' | sed 's/ $//')"
  expect_no_reg "$r no package ran" "$QMB_SAMPLE_KEY" CabWait
done

r="[a location without msiexec.exe]"
qmb_log "--- $r"
qmb_reset_machine
qmb_trace_process_starts
no_tool_win='C:\qmb-no-tool'
mkdir -p "$(qmb_unixpath "$no_tool_win")"
qmb_on_exit rm -rf "$(qmb_unixpath "$no_tool_win")"
qmb_reg_add "$QMB_INSTALLER_KEY" /v InstallerLocation /t REG_SZ /d "$no_tool_win"
if QMB_TRACE_BOXES=1 qmb_run_or_fail "$r" "$QMB_EXE" ""; then
  expect_eq "$r exit code 1" 1 "$RUN_EXIT"
  # The main thread starts the cabinet thread with the module handle as its
  # parameter (the exe's base address), and then the installer.
  main_thread="$(qmb_thread_creations | grep -E '\|00400000$' | head -1 | cut -d'|' -f1)"
  expect_eq "$r the cabinet thread was started" 1 "$(qmb_thread_creations | grep -cE '\|00400000$' || true)"
  expect_eq "$r the installer's start, by the main thread, failed" \
    "${main_thread:-none}|\"$no_tool_win\\msiexec.exe\" /i \"$package_win\"  WRAPPER=1|00000000" \
    "$(qmb_process_starts | grep -F ' /i "' | head -1)|$(qmb_process_start_results | grep -E "^${main_thread:-none}\|" | head -1 | cut -d'|' -f2)"
  expect_eq "$r no message box" "" "$(qmb_message_boxes)"
  expect_absent "$r nothing is left of the staging directory and its folders" "$QMB_MAKER_DIR"
fi

qmb_reset_machine
expect_reg "InstallerLocation is restored" "$QMB_INSTALLER_KEY" InstallerLocation "$QMB_INSTALLER_LOCATION"
qmb_finish
