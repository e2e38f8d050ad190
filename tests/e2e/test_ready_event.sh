#!/usr/bin/env bash
# The main command line and the ready event, seen from the installer's side:
# msiexec-recorder.exe stands in for msiexec.exe (through InstallerLocation),
# records the command line it was given, waits on the ready event like the
# kit package does, and lists the staging directory once the event is set.
# Every cabinet must then be complete; the recorder's exit code must become
# the run's exit code; the staging directory must be gone after the run.
#
# Two runs at once (a double click, a script started twice): while the first
# run's installer is still at work, a second run ends at once with 1618 (what
# the installer itself answers then) and touches nothing: the first
# installer still finds every cabinet whole, and the first run ends as its
# installer does.
#
# Usage: test_ready_event.sh EXE
source "$(dirname "$0")/lib.sh"
qmb_init "$1"

tool_dir="$WINEPREFIX/drive_c/qmb-recorder"
mkdir -p "$tool_dir"
cp "$QMB_TOOLS_DIR/msiexec-recorder.exe" "$tool_dir/msiexec.exe"
staging_win="$QMB_USER_DIR_WIN\\AppData\\LocalLow\\Qor\\Vesk\\qmb1.6.0_39"
package_win="$staging_win\\qmb1.6.0_39.msi"

# What the staging directory must hold when the event is set: the package and
# the seven cabinets, each of its full size.
expected_files="$(for name in qmb1.6.0_39.msi ss160390.cab st160390.cab sj160390.cab sp160390.cab \
  sz160390.cab sb160390.cab sr160390.cab; do
  printf 'file=%s %s\n' "$name" "$(stat -c %s "$QMB_PAYLOAD_DIR/$name")"
done | sort)"

# arguments | recorder's exit code | the command line after the package path
rows=(
  "|0| WRAPPER=1"
  "/s|3010| /qn ADDLOCAL=PubliczlpFeature,ToolsFeature WRAPPER=1"
  "/lang=1041|1602|TRANSFORMS=:1041  WRAPPER=1"
  "/s ADDLOCAL=ALL|1603|ADDLOCAL=ALL  /qn WRAPPER=1"
)
for row in "${rows[@]}"; do
  IFS='|' read -r args code tail <<<"$row"
  qmb_log "--- arguments [$args]"
  qmb_reset_machine
  qmb_reg_add "$QMB_INSTALLER_KEY" /v InstallerLocation /t REG_SZ /d 'C:\qmb-recorder'
  record="$QMB_WORK/record.txt"
  if ! QMB_RECORD_FILE="$(qmb_winpath "$QMB_WORK")\\record.txt" QMB_RECORD_EXIT="$code" \
    QMB_RECORD_WAIT_EVENT=1 QMB_RECORD_WAIT_MS=30000 QMB_RECORD_LIST_DIR="$staging_win" \
    qmb_run "$QMB_EXE" "$args"; then
    qmb_fail "[$args] the exe could be run"
    continue
  fi
  expect_eq "[$args] the installer's exit code is the run's" "$code" "$RUN_EXIT"
  expect_eq "[$args] the main command line" "\"C:\\qmb-recorder\\msiexec.exe\" /i \"$package_win\" $tail" \
    "$(sed -n 1p "$record" 2>/dev/null)"
  expect_eq "[$args] the ready event was set" "event=signalled" "$(sed -n 2p "$record" 2>/dev/null)"
  seen_files="$(grep '^file' "$record" 2>/dev/null | sort)"
  if [[ "$seen_files" == "$expected_files" ]]; then
    qmb_pass "[$args] all seven cabinets were complete when the event was set"
  else
    qmb_fail "[$args] all seven cabinets were complete when the event was set" \
      "expected: $(printf '%s' "$expected_files" | tr '\n' ' ')" "seen:     $(printf '%s' "$seen_files" | tr '\n' ' ')"
  fi
  expect_eq "[$args] one installer run" 1 "$(grep -c '^"' "$record" 2>/dev/null || true)"
  expect_absent "[$args] the staging directory is removed" "$QMB_STAGING_DIR"
done

r="[two runs at once]"
qmb_log "--- $r"
qmb_reset_machine
qmb_reg_add "$QMB_INSTALLER_KEY" /v InstallerLocation /t REG_SZ /d 'C:\qmb-recorder'
record="$QMB_WORK/record.txt"
first="$QMB_WORK/first"
mkdir -p "$first"
record_win="$(qmb_winpath "$QMB_WORK")\\record.txt"
released_win="$(qmb_winpath "$first")\\released"
# The first run's installer lists the cabinets once the event is set, then
# holds (as an installer still at work) until the file "released" appears,
# and lists them again.
(
  QMB_WORK="$first"
  QMB_RECORD_FILE="$(qmb_winpath "$QMB_WORK/..")\record.txt" QMB_RECORD_WAIT_EVENT=1 QMB_RECORD_WAIT_MS=100000 \
    QMB_RECORD_LIST_DIR="$staging_win" QMB_RECORD_HOLD_FILE="$(qmb_winpath "$first")\released" \
    qmb_run "$QMB_EXE" "" >"$first/log" 2>&1 && printf '%s' "$RUN_EXIT" >"$first/exit"
) &
first_pid=$!
for ((i = 0; i < 1200; i++)); do
  grep -q '^file=sr160390' "$record" 2>/dev/null && break
  sleep 0.1
done
if grep -q '^file=sr160390' "$record" 2>/dev/null; then
  qmb_pass "$r the first run's installer is at work"
  if qmb_run "$QMB_EXE" ""; then
    expect_eq "$r the second run ends with 1618" 1618 "$RUN_EXIT"
  else
    qmb_fail "$r the second exe could be run"
  fi
else
  qmb_fail "$r the first run's installer is at work" "seen: $(tr '\n' ' ' <"$record" 2>/dev/null)"
fi
touch "$first/released"
wait "$first_pid" || true
expect_eq "$r the first run ends as its installer does" 0 "$(cat "$first/exit" 2>/dev/null)"
expect_eq "$r one installer run" 1 "$(grep -c '^"' "$record" 2>/dev/null || true)"
expect_eq "$r the first installer was released" hold=released "$(grep '^hold=' "$record" 2>/dev/null)"
after="$(sed -n '/^hold=/,$p' "$record" 2>/dev/null | grep '^file' | sort)"
if [[ "$after" == "$expected_files" ]]; then
  qmb_pass "$r the first installer's cabinets are whole after the second run"
else
  qmb_fail "$r the first installer's cabinets are whole after the second run" \
    "expected: $(printf '%s' "$expected_files" | tr '\n' ' ')" "seen:     $(printf '%s' "$after" | tr '\n' ' ')"
fi
expect_absent "$r the staging directory is removed" "$QMB_STAGING_DIR"

rm -rf "$tool_dir"
qmb_finish
