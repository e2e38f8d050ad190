#!/usr/bin/env bash
# The exe under other Windows versions (Wine's per-exe AppDefaults Version)
# and with other folders:
#
# - Windows 5.2 (win2003): the installer tool is the system folder's
#   msiexec.exe whatever InstallerLocation says, also when it is missing;
#   which program was started is read from a relay trace of CreateProcessA,
#   and Wine's own msiexec installs the kit (checked with the sample kit,
#   QMB_E2E_SAMPLE_KIT=1). Under 5.1 a missing
#   InstallerLocation still ends the run with -3.
# - The data folder: the low-integrity local application-data folder on the
#   Windows 6 family (vista, win7, and win10, which Wine reports as 6.2),
#   the application-data folder from shfolder.dll before it (win2k, winxp,
#   and win2003 above).
# - "SysWOW64": with an installer tool whose path contains "SysWOW64" (the
#   recording stand-in in such a folder) and a data folder below the system
#   directory (a per-user shell folder redirected there, as the system
#   account's profile is), the package path given to the installer has
#   "SysWOW64" in place of the system directory's "system32"; the files
#   themselves are written under the real path. A data folder that only has
#   a folder named "system32" in it (which the user may choose, and fill a
#   "SysWOW64" beside it) reaches the installer exactly as written; so does
#   every data folder when the tool folder is spelled "syswow64".
#
# Usage: test_platform_variants.sh EXE
source "$(dirname "$0")/lib.sh"
source "$(dirname "$0")/lib_variants.sh"
qmb_variants_init "$1"

appdata_win="$(qmb_windows_variable APPDATA)"
[[ "$appdata_win" == ?:\\* ]] || { qmb_fail "the application-data folder of the prefix is known" "seen: [$appdata_win]"; qmb_finish; }
appdata="$(readlink -f "$(qmb_unixpath "$appdata_win")")"
locallow_win="$QMB_USER_DIR_WIN\\AppData\\LocalLow"
system_win="$(qmb_winpath "$QMB_SYSTEM32_DIR")"
qmb_on_exit rm -rf "$appdata/Qor"
all_files=(qmb1.6.0_39.msi "${QMB_CABINET_NAMES[@]}")

staging_of() { printf '%s\\Qor\\Vesk\\qmb1.6.0_39' "$1"; }

# The command lines the exe gave CreateProcessA for an installer run, in the
# last traced run.
installer_starts() { qmb_process_starts | cut -d'|' -f2- | grep -F ' /i "' || true; }

# ------------------------------------------------------------------ the tool on Windows 5.2

qmb_trace_process_starts

# tool ROW VERSION LOCATION: LOCATION is "removed" or "stand-in".
tool_row() {
  local row="$1" version="$2" location="$3"
  qmb_log "--- $row"
  qmb_reset_machine
  rm -rf "$appdata/Qor"
  qmb_set_windows_version "$QMB_EXE_NAME" "$version"
  if [[ "$location" == removed ]]; then
    qmb_reg_delete "$QMB_INSTALLER_KEY" /v InstallerLocation
  else
    qmb_use_recorder
  fi
  if ! QMB_TRACE_BOXES=1 qmb_run "$QMB_EXE" ""; then
    qmb_fail "[$row] the exe could be run"
    return 1
  fi
}

for location in removed stand-in; do
  row="win2003, InstallerLocation $location"
  tool_row "$row" win2003 "$location" || continue
  # After a real install the updater phase starts the tool once more.
  expect_eq "[$row] the first installer start is the system folder's msiexec.exe with the package" \
    "\"$system_win\\msiexec.exe\" /i \"$(staging_of "$appdata_win")\\qmb1.6.0_39.msi\"  WRAPPER=1" \
    "$(installer_starts | head -1)"
  if [[ "${QMB_E2E_SAMPLE_KIT:-0}" == 1 ]]; then
    expect_eq "[$row] Wine's msiexec installed the kit: exit code 0" 0 "$RUN_EXIT"
    expect_reg "[$row] the package's wait saw the ready event" "$QMB_SAMPLE_KEY" CabWait signalled
    expect_file "[$row] the kit's files are installed" "$QMB_KIT_DIR/LEGAL.txt"
  fi
  if [[ "$location" == stand-in ]]; then
    expect_absent "[$row] the stand-in named by InstallerLocation did not run" "$QMB_RECORD"
  fi
  expect_absent "[$row] the staging directory is removed" "$appdata/Qor/Vesk/qmb1.6.0_39"
done

row="winxp, InstallerLocation removed"
if tool_row "$row" winxp removed; then
  expect_eq "[$row] exit code -3: only Windows 5.2 ignores the registry" 4294967293 "$RUN_EXIT"
  expect_eq "[$row] no installer was started" "" "$(installer_starts)"
  expect_same_file "[$row] the package remains in the application-data folder" \
    "$QMB_PAYLOAD_DIR/qmb1.6.0_39.msi" "$appdata/Qor/Vesk/qmb1.6.0_39/qmb1.6.0_39.msi"
fi

# ------------------------------------------------------------------ runs with the stand-in

# stand_in_row ROW EXPECTED-PACKAGE-PATH WRITTEN-TO-WINDOWS-FOLDER: a run with
# the stand-in (set up by the caller), whose command line must name
# EXPECTED-PACKAGE-PATH while the files are written to the staging directory
# below WRITTEN-TO (the data folder as it really is).
stand_in_row() {
  local row="$1" package_win="$2" written_win="$3"
  local tool_win
  tool_win="$(qmb_reg_value "$QMB_INSTALLER_KEY" InstallerLocation)\\msiexec.exe"
  if ! QMB_RECORD_LIST_DIR="$(staging_of "$written_win")" qmb_run "$QMB_EXE" ""; then
    qmb_fail "[$row] the exe could be run"
    return
  fi
  expect_eq "[$row] the installer's exit code is the run's" 0 "$RUN_EXIT"
  expect_eq "[$row] the main command line" "\"$tool_win\" /i \"$package_win\"  WRAPPER=1" \
    "$(qmb_recorded_command_line)"
  expect_eq "[$row] the package and the seven cabinets were complete at the event, in $(staging_of "$written_win")" \
    "$(qmb_payload_listing "${all_files[@]}" | tr '\n' ' ')" "$(qmb_recorded_listing | tr '\n' ' ')"
  local written
  written="$(readlink -f "$(qmb_unixpath "$written_win")")"
  expect_absent "[$row] the staging directory is removed" "$written/Qor"
}

# The data folder per Windows version.
rows=(
  "win2k|appdata"
  "winxp|appdata"
  "vista|locallow"
  "win7|locallow"
  "win10|locallow"
)
for entry in "${rows[@]}"; do
  IFS='|' read -r version folder <<<"$entry"
  row="data folder under $version"
  qmb_log "--- $row"
  qmb_reset_machine
  rm -rf "$appdata/Qor"
  qmb_set_windows_version "$QMB_EXE_NAME" "$version"
  qmb_use_recorder
  if [[ "$folder" == appdata ]]; then
    stand_in_row "$row" "$(staging_of "$appdata_win")\\qmb1.6.0_39.msi" "$appdata_win"
    expect_absent "[$row] nothing was written to the local-low folder" "$QMB_MAKER_DIR"
  else
    stand_in_row "$row" "$(staging_of "$locallow_win")\\qmb1.6.0_39.msi" "$locallow_win"
    expect_absent "[$row] nothing was written to the application-data folder" "$appdata/Qor"
  fi
done

# "SysWOW64" in the tool's path.
wow_win='C:\qmb-wow\SysWOW64'
lower_wow_win='C:\qmb-wow-lower\syswow64'
data_root_win='C:\qmb-data'
for folder_win in "$data_root_win" 'C:\qmb-wow' 'C:\qmb-wow-lower'; do
  qmb_on_exit rm -rf "$(qmb_unixpath "$folder_win")"
done

# wow_row ROW TOOL-FOLDER VERSION SHELL-FOLDER DATA-FOLDER EXPECTED-PACKAGE-PATH
# SHELL-FOLDER is the "User Shell Folders" value to redirect to DATA-FOLDER,
# or "-" to leave the data folder as it is.
wow_row() {
  local row="$1" tool_folder="$2" version="$3" shell_folder="$4" data_win="$5" expected="$6"
  qmb_log "--- $row"
  qmb_reset_machine
  [[ "$version" == default ]] || qmb_set_windows_version "$QMB_EXE_NAME" "$version"
  [[ "$shell_folder" == - ]] || qmb_redirect_shell_folder "$shell_folder" "$data_win"
  qmb_use_recorder "$tool_folder"
  stand_in_row "$row" "$expected" "$data_win"
}

wow_row "SysWOW64 tool, data folder without system32" "$wow_win" default - "$locallow_win" \
  "$(staging_of "$locallow_win")\\qmb1.6.0_39.msi"
sysprofile_win="$system_win\\config\\systemprofile\\AppData"
sysprofile="$(qmb_unixpath "$system_win")/config/systemprofile/AppData"
qmb_on_exit rm -rf "$sysprofile/LocalLow" "$sysprofile/QmbRoaming"
sysprofile_wow_win="${sysprofile_win/\\system32\\/\\SysWOW64\\}"
wow_row "SysWOW64 tool, data folder below the system directory" "$wow_win" default "$QMB_LOCALLOW_VALUE" \
  "$sysprofile_win\\LocalLow" "$sysprofile_wow_win\\LocalLow\\Qor\\Vesk\\qmb1.6.0_39\\qmb1.6.0_39.msi"
wow_row "SysWOW64 tool, a data folder named system32 elsewhere stays as written" "$wow_win" default \
  "$QMB_LOCALLOW_VALUE" "$data_root_win\\system32\\LocalLow" \
  "$data_root_win\\system32\\LocalLow\\Qor\\Vesk\\qmb1.6.0_39\\qmb1.6.0_39.msi"
wow_row "syswow64 tool (lower case), data folder below the system directory" "$lower_wow_win" default \
  "$QMB_LOCALLOW_VALUE" "$sysprofile_win\\LocalLow" "$sysprofile_win\\LocalLow\\Qor\\Vesk\\qmb1.6.0_39\\qmb1.6.0_39.msi"
wow_row "SysWOW64 tool, winxp, application-data folder below the system directory" "$wow_win" winxp AppData \
  "$sysprofile_win\\QmbRoaming" "$sysprofile_wow_win\\QmbRoaming\\Qor\\Vesk\\qmb1.6.0_39\\qmb1.6.0_39.msi"
qmb_finish
