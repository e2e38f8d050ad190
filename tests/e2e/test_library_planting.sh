#!/usr/bin/env bash
# Library planting: copies of planted-marker.dll named version.dll,
# shfolder.dll and msi.dll lie in the exe's folder, or in the current
# directory, and each load of one of them is recorded in a marker file. The
# exe loads these libraries by full path from the system folder only, and it
# takes the current directory out of the search order before anything else,
# so a whole run loads none of them: not under the default Windows version,
# and not under Windows XP, where the data folder comes from shfolder.dll.
#
# Wine would never pick a planted copy of a library it has built in, so every
# program here gets the per-exe DllOverrides native,builtin for the three
# names, and SafeDllSearchMode is 0 so that the current directory is searched
# before the system folder. The controls show that a planted load is then
# seen: qmb-plant-control.exe, which imports the three libraries, and
# qmb-plant-loader.exe, which loads them by bare name at run time, each load
# the planted copies from either place.
#
# One load is the platform's own: Wine's user32.dll imports version.dll, so
# with the override the loader takes a planted version.dll while it starts
# any program that imports user32, before the program's first instruction.
# Such a static load of version.dll is reported, not counted against the exe
# (whose own imports are checked by e2e.imports); the exe's version check
# must still read the system's version.dll, or a planted one, which answers
# no version, would end the run with -2.
#
# Usage: test_library_planting.sh EXE
source "$(dirname "$0")/lib.sh"
source "$(dirname "$0")/lib_variants.sh"
qmb_variants_init "$1"

planted_names=(version shfolder msi)
root="$WINEPREFIX/drive_c/qmb-plant"
root_win='C:\qmb-plant'
markers="$root/markers"
export QMB_PLANT_MARKER_DIR="$root_win\\markers"
programs=(qmb-plant-control.exe qmb-plant-loader.exe "$QMB_EXE_NAME")
appdata_win="$(qmb_windows_variable APPDATA)"
[[ "$appdata_win" == ?:\\* ]] || { qmb_fail "the application-data folder of the prefix is known" "seen: [$appdata_win]"; qmb_finish; }

rm -rf "$root"
mkdir -p "$root/planted" "$root/clean" "$root/bin"
qmb_on_exit rm -rf "$root"
for name in "${planted_names[@]}"; do
  cp "$QMB_E2E_PROGRAMS_DIR/planted-marker.dll" "$root/planted/$name.dll"
done
session_manager='HKLM\System\CurrentControlSet\Control\Session Manager'
qmb_save_value "$session_manager" SafeDllSearchMode
qmb_wine reg add "$session_manager" /v SafeDllSearchMode /t REG_DWORD /d 0 /f >/dev/null

# The Wine settings of the three programs (the reset between runs removes
# the exe's).
prepare_programs() {
  local program
  for program in "${programs[@]}"; do
    qmb_set_dll_overrides "$program" native,builtin "${planted_names[@]}"
  done
}

# The marker lines written since the markers were last cleared, lower case,
# one per line, "<how>|<program>|<library>".
marker_lines() { cat "$markers"/planted-*.txt 2>/dev/null | tr -d '\r' | tr '[:upper:]' '[:lower:]' | sort || true; }

# in_folder DIR COMMAND...: runs a command with the current directory DIR.
in_folder() {
  local rc=0
  pushd "$1" >/dev/null || return 1
  shift
  "$@" || rc=$?
  popd >/dev/null
  return $rc
}

# location NAME PROGRAM-FOLDER CURRENT-DIRECTORY: the controls and the exe,
# with the programs in one folder and the current directory another; the
# planted copies are in one of the two.
location() {
  local where="$1" program_dir="$root/$2" program_dir_win="$root_win\\$2" cwd="$root/$3"
  local name expected
  qmb_log "=== planted copies in $where"
  qmb_reset_machine
  prepare_programs
  cp "$QMB_E2E_PROGRAMS_DIR/qmb-plant-control.exe" "$QMB_E2E_PROGRAMS_DIR/qmb-plant-loader.exe" "$QMB_EXE" \
    "$program_dir/"

  # The controls: each planted copy is loaded, through the import table and
  # by a bare-name load at run time.
  rm -rf "$markers"
  in_folder "$cwd" qmb_wine "$program_dir/qmb-plant-control.exe" >"$QMB_WORK/control.out" 2>&1 || true
  in_folder "$cwd" qmb_wine "$program_dir/qmb-plant-loader.exe" "${planted_names[@]/%/.dll}" \
    >>"$QMB_WORK/control.out" 2>&1 || true
  expected="$(for name in "${planted_names[@]}"; do
    printf 'static|%s\\qmb-plant-control.exe|%s\\planted\\%s.dll\n' "$program_dir_win" "$root_win" "$name"
    printf 'dynamic|%s\\qmb-plant-loader.exe|%s\\planted\\%s.dll\n' "$program_dir_win" "$root_win" "$name"
  done | tr '[:upper:]' '[:lower:]' | sort)"
  local seen
  seen="$(marker_lines)"
  if [[ "$seen" == "$expected" ]]; then
    qmb_pass "[$where] control: each planted copy is loaded by an importer and by a bare-name load"
  else
    qmb_fail "[$where] control: each planted copy is loaded by an importer and by a bare-name load" \
      "expected: $(printf '%s' "$expected" | tr '\n' ' ')" "seen:     $(printf '%s' "$seen" | tr '\n' ' ')" \
      "the controls printed: $(tr -d '\r' <"$QMB_WORK/control.out" | tr '\n' ' ')"
  fi

  local version data_win
  for version in default winxp; do
    qmb_log "--- the exe in $where, Windows version $version"
    qmb_reset_machine
    prepare_programs
    if [[ "$version" == winxp ]]; then
      qmb_set_windows_version "$QMB_EXE_NAME" winxp
      data_win="$appdata_win"
      qmb_on_exit rm -rf "$(qmb_unixpath "$appdata_win")/Qor"
    else
      data_win="$QMB_USER_DIR_WIN\\AppData\\LocalLow"
    fi
    qmb_use_recorder
    rm -rf "$markers"
    local staging_win="$data_win\\Qor\\Vesk\\$QMB_STAGING_NAME"
    local row="[$where, $version]"
    if ! QMB_RECORD_LIST_DIR="$staging_win" in_folder "$cwd" qmb_run "$program_dir/$QMB_EXE_NAME" ""; then
      qmb_fail "$row the exe could be run"
      continue
    fi
    expect_eq "$row the installer's exit code is the run's (a planted version.dll in the version check gives -2)" \
      0 "$RUN_EXIT"
    expect_eq "$row the main command line, with the package in the system's data folder" \
      "\"$QMB_RECORDER_DIR_WIN\\msiexec.exe\" /i \"$staging_win\\qmb1.6.0_39.msi\"  WRAPPER=1" \
      "$(qmb_recorded_command_line)"
    expect_eq "$row the ready event was set" "event=signalled" "$(sed -n 2p "$QMB_RECORD" 2>/dev/null | tr -d '\r')"
    expect_eq "$row the package and the seven cabinets were complete at the event" \
      "$(qmb_payload_listing qmb1.6.0_39.msi "${QMB_CABINET_NAMES[@]}" | tr '\n' ' ')" \
      "$(qmb_recorded_listing | tr '\n' ' ')"
    expect_absent "$row the staging directory is removed" "$(qmb_unixpath "$data_win")/Qor"

    local line platform_loads=() exe_loads=()
    while IFS= read -r line; do
      [[ -z "$line" ]] && continue
      if [[ "$line" == "static|${program_dir_win,,}\\${QMB_EXE_NAME,,}|"*'\version.dll' ]]; then
        platform_loads+=("$line")
      else
        exe_loads+=("$line")
      fi
    done <<<"$(marker_lines)"
    if ((${#exe_loads[@]} == 0)); then
      qmb_pass "$row no planted library was loaded by the exe's code or its children"
    else
      qmb_fail "$row no planted library was loaded by the exe's code or its children" \
        "expected: no marker lines" "seen:     ${exe_loads[*]}"
    fi
    if ((${#platform_loads[@]})); then
      qmb_log "note: $row the platform's loader took the planted version.dll for Wine's user32.dll at start-up: ${platform_loads[*]}"
    fi
  done
}

location "the exe's folder" planted clean
location "the current directory" bin planted
qmb_finish
