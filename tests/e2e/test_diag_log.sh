#!/usr/bin/env bash
# The diagnostic log, moltrav.log, is written only when a system library
# cannot be loaded; a run in which nothing fails neither creates nor touches
# it, wherever "TMPDIR" points: unset or empty (the log would be in the temp
# folder), an existing folder with or without a trailing backslash, a folder
# that does not exist (nothing may be written anywhere, and the folder is not
# made), or a value too long for a path. A log that exists already, in the
# temp folder or in the TMPDIR folder, keeps its bytes and its time.
#
# The exe reads TMPDIR from its Windows environment. Wine copies the unix
# TMPDIR there unchanged, but also uses it itself (Debian's Wine finds its
# wineserver under it), so the value is set on the Windows side only, by
# qmb-winenv.exe, which then starts the launcher.
#
# No failure of the exe's library loads can be arranged under Wine: kernel32
# and version.dll (an import of Wine's user32) are loaded in every process
# before the exe runs, so its loads by full path always find them, and
# disabling version.dll for the exe stops the process before it starts
# (c0000135). The records themselves are left to the host tests.
#
# Usage: test_diag_log.sh EXE
source "$(dirname "$0")/lib.sh"
source "$(dirname "$0")/lib_variants.sh"
qmb_variants_init "$1"

drive_c="$(readlink -f "$WINEPREFIX/drive_c")"
root="$drive_c/qmb-diag"
root_win='C:\qmb-diag'
rm -rf "$root"
mkdir -p "$root/cwd"
qmb_on_exit rm -rf "$root"

# GetTempPathA's folder: TMP, else TEMP.
temp_win="$(qmb_windows_variable TMP)"
[[ "$temp_win" == ?:\\* ]] || temp_win="$(qmb_windows_variable TEMP)"
temp="$(readlink -f "$(qmb_unixpath "$temp_win")")"
if [[ "$temp_win" != ?:\\* || ! -d "$temp" ]]; then
  qmb_fail "the temp folder of the prefix is known" "seen: [$temp_win] -> [$temp]"
  qmb_finish
fi
qmb_log "temp folder: $temp_win"
qmb_on_exit rm -f "$temp/moltrav.log"

# The harness: a value set or removed by qmb-winenv.exe reaches a program
# that the launcher starts, as the exe is started.
check_environment() {
  local what="$1" expected="$2"
  local out
  out="$(QMB_WINENV_CMDLINE="\"$(qmb_winpath "$QMB_TOOLS_DIR/qmb-launch.exe")\"" \
    QMB_LAUNCH_CMDLINE='cmd /c echo [%TMPDIR%]' qmb_wine "$QMB_E2E_PROGRAMS_DIR/qmb-winenv.exe" 2>/dev/null |
    tr -d '\r' | head -1)"
  expect_eq "harness: $what reaches a program started by the launcher" "$expected" "$out"
}
QMB_WINENV_SET_TMPDIR="$root_win\\x y" check_environment "TMPDIR set on the Windows side" "[$root_win\\x y]"
QMB_WINENV_UNSET=TMPDIR check_environment "TMPDIR removed on the Windows side" "[%TMPDIR%]"

# Every moltrav.log on drive C (the runs start in a folder there too).
logs_anywhere() { find "$drive_c" -iname moltrav.log 2>/dev/null | sort || true; }

# run_normal ROW: a whole run with the stand-in installer, in $root/cwd,
# with the Windows environment the caller set up through QMB_WINENV_*.
run_normal() {
  local row="$1"
  qmb_reset_machine
  qmb_use_recorder
  pushd "$root/cwd" >/dev/null || return 1
  local rc=0
  qmb_run_winenv "$QMB_EXE" "" || rc=$?
  popd >/dev/null
  if ((rc != 0)); then
    qmb_fail "[$row] the exe could be run"
    return 1
  fi
  expect_eq "[$row] a normal run: the installer's exit code is the run's" 0 "$RUN_EXIT"
  expect_eq "[$row] the ready event was set" "event=signalled" "$(sed -n 2p "$QMB_RECORD" 2>/dev/null | tr -d '\r')"
}

# no_log ROW: no log file anywhere after the run.
no_log() {
  local found
  found="$(logs_anywhere)"
  expect_eq "[$1] no moltrav.log anywhere" "" "$found"
}

row="TMPDIR unset"
qmb_log "--- $row"
QMB_WINENV_UNSET=TMPDIR run_normal "$row" && no_log "$row"

row="TMPDIR empty"
qmb_log "--- $row"
QMB_WINENV_SET_TMPDIR='' run_normal "$row" && no_log "$row"

for value in "$root_win\\tmp" "$root_win\\tmp\\"; do
  row="TMPDIR [$value], an existing folder"
  qmb_log "--- $row"
  rm -rf "$root/tmp"
  mkdir -p "$root/tmp"
  if QMB_WINENV_SET_TMPDIR="$value" run_normal "$row"; then
    no_log "$row"
    expect_eq "[$row] the folder stays empty" "" "$(ls -A "$root/tmp")"
  fi
done

row="TMPDIR naming a folder that does not exist"
qmb_log "--- $row"
if QMB_WINENV_SET_TMPDIR="$root_win\\missing" run_normal "$row"; then
  no_log "$row"
  expect_absent "[$row] the folder is not made" "$root/missing"
fi

long="$root_win\\$(printf 'l%.0s' $(seq 1 300))"
row="TMPDIR of ${#long} characters"
qmb_log "--- $row"
QMB_WINENV_SET_TMPDIR="$long" run_normal "$row" && no_log "$row"

# Logs that exist already keep their bytes and their modification time.
row="existing logs"
qmb_log "--- $row"
rm -rf "$root/tmp"
mkdir -p "$root/tmp"
printf '\nMon Jan 07 08:09:10 2013\n:: an earlier record' >"$root/tmp/moltrav.log"
printf '\nTue Feb 05 01:02:03 2013\n:: a record in the temp folder' >"$temp/moltrav.log"
touch -d '2013-02-05 01:02:03' "$root/tmp/moltrav.log" "$temp/moltrav.log"
cp -p "$root/tmp/moltrav.log" "$QMB_STATE_DIR/tmpdir-log.before"
cp -p "$temp/moltrav.log" "$QMB_STATE_DIR/temp-log.before"
qmb_on_exit rm -f "$QMB_STATE_DIR/tmpdir-log.before" "$QMB_STATE_DIR/temp-log.before"
for variant in "TMPDIR set" "TMPDIR unset"; do
  if [[ "$variant" == "TMPDIR set" ]]; then
    QMB_WINENV_SET_TMPDIR="$root_win\\tmp" run_normal "$row, $variant" || continue
  else
    QMB_WINENV_UNSET=TMPDIR run_normal "$row, $variant" || continue
  fi
  expect_same_file "[$row, $variant] the TMPDIR folder's log keeps its bytes" \
    "$QMB_STATE_DIR/tmpdir-log.before" "$root/tmp/moltrav.log"
  expect_same_file "[$row, $variant] the temp folder's log keeps its bytes" \
    "$QMB_STATE_DIR/temp-log.before" "$temp/moltrav.log"
  expect_eq "[$row, $variant] both logs keep their modification time" \
    "$(stat -c %Y "$QMB_STATE_DIR/tmpdir-log.before") $(stat -c %Y "$QMB_STATE_DIR/temp-log.before")" \
    "$(stat -c %Y "$root/tmp/moltrav.log" 2>/dev/null) $(stat -c %Y "$temp/moltrav.log" 2>/dev/null)"
  expect_eq "[$row, $variant] no other log appeared" \
    "$(printf '%s\n%s' "$root/tmp/moltrav.log" "$temp/moltrav.log" | sort)" "$(logs_anywhere)"
done
qmb_finish
