#!/usr/bin/env bash
# The sample kit package's side of the contract, with Wine's msiexec and no
# bootstrapper: qmb-set-event plays the bootstrapper's part. With WRAPPER=1
# and the product not installed, the package creates or opens the ready
# event and waits for it, in the execute sequence under /qn and in the
# user-interface sequence with the full interface; otherwise it does not wait.
#
# Usage: test_package_contract.sh EXE   (the exe is not run here)
source "$(dirname "$0")/lib.sh"
qmb_init "$1"
# A wrong wait would last 15 minutes; a right install takes a few seconds.
QMB_RUN_TIMEOUT=60

kit_msi="$(qmb_winpath "$QMB_PAYLOAD_DIR/qmb1.6.0_39.msi")"
qmb_extract_kit_cabinets

expect_kit_installed() {
  local name missing=()
  for name in "${QMB_KIT_FILE_NAMES[@]}"; do
    cmp -s "$QMB_KIT_REFERENCE/$name" "$QMB_KIT_DIR/$name" || missing+=("$name")
  done
  if ((${#missing[@]} == 0)); then
    qmb_pass "$1: all ${#QMB_KIT_FILE_NAMES[@]} kit files installed"
  else
    qmb_fail "$1: all ${#QMB_KIT_FILE_NAMES[@]} kit files installed" "missing or different: ${missing[*]}" \
      "$(qmb_describe_path "$QMB_KIT_DIR")"
  fi
}

# waits_for_event ROW STEP MSIEXEC-ARGUMENTS...
# The install must create the event and block until it is set, then finish.
waits_for_event() {
  local row="$1" step="$2"
  shift 2
  qmb_reset_machine
  qmb_wine msiexec /i "$kit_msi" "$@" >"$QMB_WORK/msiexec.out" 2>&1 &
  local pid=$!
  if qmb_wine "$QMB_TOOLS_DIR/qmb-set-event.exe" --exists 30000 >"$QMB_WORK/probe.out"; then
    qmb_pass "$row: the package created the ready event"
    sleep 1
    if kill -0 "$pid" 2>/dev/null; then
      qmb_pass "$row: msiexec is still waiting while the event is unset"
    else
      qmb_fail "$row: msiexec is still waiting while the event is unset" "seen: msiexec had already ended"
    fi
    expect_absent "$row: nothing installed before the event is set" "$QMB_KIT_DIR"
    qmb_wine "$QMB_TOOLS_DIR/qmb-set-event.exe" 5000 >/dev/null ||
      qmb_fail "$row: the event could be set" "$(cat "$QMB_WORK/probe.out")"
  else
    qmb_fail "$row: the package created the ready event" "seen: $(cat "$QMB_WORK/probe.out")"
    qmb_wine "$QMB_TOOLS_DIR/qmb-set-event.exe" 1000 >/dev/null || true
  fi
  local rc=0
  wait "$pid" || rc=$?
  expect_eq "$row: msiexec exit status" 0 "$rc"
  expect_reg "$row: the wait saw the event set" "$QMB_SAMPLE_KEY" CabWait signalled
  expect_reg "$row: the wait ran in the expected sequence" "$QMB_SAMPLE_KEY" CabWaitStep "$step"
  expect_kit_installed "$row"
}

# does_not_wait ROW MSIEXEC-ARGUMENTS...   (on the machine as it stands)
does_not_wait() {
  local row="$1"
  shift
  local rc=0
  qmb_wine msiexec /i "$kit_msi" "$@" >"$QMB_WORK/msiexec.out" 2>&1 || rc=$?
  expect_eq "$row: msiexec finished without waiting, exit status" 0 "$rc"
  expect_no_reg "$row: no wait step ran" "$QMB_SAMPLE_KEY" CabWait
  expect_kit_installed "$row"
}

waits_for_event "/qn WRAPPER=1" InstallExecuteSequence /qn WRAPPER=1
waits_for_event "full UI, WRAPPER=1" InstallUISequence WRAPPER=1

# Installed already (the full-UI row above): a repair run does not wait.
qmb_reg_delete "$QMB_SAMPLE_KEY" /v CabWait
does_not_wait "installed, /qn WRAPPER=1" /qn WRAPPER=1

qmb_reset_machine
does_not_wait "/qn without WRAPPER" /qn
qmb_reset_machine
does_not_wait "/qn WRAPPER=0" /qn WRAPPER=0
qmb_reset_machine
does_not_wait "/qb WRAPPER=1 (basic UI: level 3)" /qb WRAPPER=1
qmb_finish
