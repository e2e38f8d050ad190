#!/usr/bin/env bash
# The harness's own instruments, so that a fault in them is not taken for a
# fault of the exe: qmb-launch.exe must report the full 32-bit exit code and
# a start failure; msiexec-recorder.exe must record its command line
# verbatim, wait on the ready event, write InstallStatus on its first start
# when asked to, and exit with the code it is given.
#
# Usage: test_tools.sh EXE   (the exe is not run here)
source "$(dirname "$0")/lib.sh"
qmb_init "$1"

recorder="$QMB_TOOLS_DIR/msiexec-recorder.exe"
recorder_win="$(qmb_winpath "$recorder")"
export QMB_RECORD_FILE
QMB_RECORD_FILE="$(qmb_winpath "$QMB_WORK")\\record.txt"
record="$QMB_WORK/record.txt"
args='/i "C:\Kit Dir\x.msi" TRANSFORMS=:1041  /qn ADDLOCAL=PubliczlpFeature,ToolsFeature WRAPPER=1'

# QMB_RECORD_EXIT | unsigned | signed
rows=(
  "|0|0"
  "3010|3010|3010"
  "1603|1603|1603"
  "-2|4294967294|-2"
  "4294967293|4294967293|-3"
  "2147483648|2147483648|-2147483648"
)
for row in "${rows[@]}"; do
  IFS='|' read -r given unsigned signed <<<"$row"
  rm -f "$record"
  if ! QMB_RECORD_EXIT="$given" qmb_run "$recorder" "$args"; then
    qmb_fail "[exit ${given:-unset}] the launcher ran the recorder"
    continue
  fi
  expect_eq "[exit ${given:-unset}] unsigned exit code" "$unsigned" "$RUN_EXIT"
  expect_eq "[exit ${given:-unset}] signed exit code" "$signed" "$RUN_EXIT_SIGNED"
  expect_eq "[exit ${given:-unset}] the command line is recorded verbatim" \
    "\"$recorder_win\" $args" "$(cat "$record" 2>/dev/null)"
done

# Waiting on the ready event: nobody sets it, so the wait times out.
rm -f "$record"
QMB_RECORD_WAIT_EVENT=1 QMB_RECORD_WAIT_MS=200 qmb_run "$recorder" "x" || qmb_fail "the recorder ran with a wait"
expect_eq "an unset event times out and is recorded" "\"$recorder_win\" x|event=timeout" \
  "$(tr '\n' '|' <"$record" 2>/dev/null | sed 's/|$//')"

# The event set by another process ends the wait.
rm -f "$record"
(QMB_RECORD_WAIT_EVENT=1 qmb_run "$recorder" "y" >/dev/null) &
waiter=$!
qmb_wine "$QMB_TOOLS_DIR/qmb-set-event.exe" 20000 >/dev/null || qmb_fail "the recorder created the event"
wait "$waiter" || true
expect_eq "a set event is recorded" "\"$recorder_win\" y|event=signalled" \
  "$(tr '\n' '|' <"$record" 2>/dev/null | sed 's/|$//')"

# InstallStatus written on the first start into an empty record only.
rm -f "$record"
qmb_reg_delete "$QMB_SETTINGS_KEY"
export QMB_RECORD_STATUS_TYPE=3 QMB_RECORD_STATUS_HEX=72650069
qmb_run "$recorder" "first" >/dev/null || qmb_fail "the recorder ran to write InstallStatus"
expect_eq "the first start writes the bytes with the type given" "type=3 wide_bytes=4 ansi_bytes=4 text=re" \
  "$(qmb_reg_stored 'SOFTWARE\Morvanta' InstallStatus)"
qmb_reg_delete "$QMB_SETTINGS_KEY"
qmb_run "$recorder" "second" >/dev/null || qmb_fail "the recorder ran a second time"
expect_prefix "a later start writes nothing" "error=2 " "$(qmb_reg_stored 'SOFTWARE\Morvanta' InstallStatus)"
expect_eq "the write is recorded after the first command line only" \
  "\"$recorder_win\" first|status=written 3 4|\"$recorder_win\" second" \
  "$(tr -d '\r' <"$record" 2>/dev/null | tr '\n' '|' | sed 's/|$//')"
rm -f "$record"
QMB_RECORD_STATUS_HEX=7g qmb_run "$recorder" "bad" >/dev/null || qmb_fail "the recorder ran with bad data"
expect_eq "data that is not hexadecimal is reported, not written" \
  "\"$recorder_win\" bad|status=error bad hexadecimal data" \
  "$(tr -d '\r' <"$record" 2>/dev/null | tr '\n' '|' | sed 's/|$//')"
unset QMB_RECORD_STATUS_TYPE QMB_RECORD_STATUS_HEX

# A program that cannot be started is reported as such, not as an exit code.
if qmb_run "$QMB_WORK/no-such-program.exe" "" >/dev/null; then
  qmb_fail "a start failure is reported" "seen: exit=$RUN_EXIT"
else
  expect_prefix "a start failure is reported" "qmb-launch: CreateProcessA failed with error 2" \
    "$(tr -d '\r' <"$QMB_WORK/run.out")"
fi

# qmb-reg-query reports a text's stored size with its terminator (reg add
# always stores one), and a missing value as such.
qmb_reg_add "$QMB_SETTINGS_KEY" /v ToolProbe /t REG_SZ /d exists
expect_eq "qmb-reg-query: a terminated text" "type=1 wide_bytes=14 ansi_bytes=7 text=exists" \
  "$(qmb_reg_stored 'SOFTWARE\Morvanta' ToolProbe)"
qmb_reg_add "$QMB_SETTINGS_KEY" /v ToolProbe /t REG_DWORD /d 7
expect_prefix "qmb-reg-query: another type" "type=4 wide_bytes=4 ansi_bytes=4 " \
  "$(qmb_reg_stored 'SOFTWARE\Morvanta' ToolProbe)"
expect_prefix "qmb-reg-query: a missing value" "error=2 " "$(qmb_reg_stored 'SOFTWARE\Morvanta' NoSuchValue)"

# Peak memory, for the benchmarks.
QMB_LAUNCH_MEMORY=1 qmb_run "$recorder" "z" >/dev/null || qmb_fail "the recorder ran with memory sampling"
line="$(grep -a '^peak_pagefile=' "$QMB_WORK/run.out" | tr -d '\r' || true)"
if [[ "$line" =~ ^peak_pagefile=[1-9][0-9]*\ peak_working_set=[1-9][0-9]*$ ]]; then
  qmb_pass "peak memory is reported ($line)"
else
  qmb_fail "peak memory is reported" "expected: peak_pagefile=<bytes> peak_working_set=<bytes>" "seen: [$line]"
fi
qmb_finish
