#!/usr/bin/env bash
# A full disk while the payload is written. The user's LocalLow folder is
# pointed (its known folder's value under "User Shell Folders") at a folder
# of a drive of its own, a small tmpfs mounted for the test and given a
# drive letter, so that a write fails with ERROR_DISK_FULL (112). The run
# reaches the drive through no link of the user's (a link in the run's way
# is refused, as test_links.sh shows). The writing thread shows the write
# step's message ("Installer : Wrapper.WriteFile (In small chunks)  failed
# with error 112: " and the system's text, caption "Error") and the process
# ends with 112 at once, whatever the other thread is doing; nothing is
# cleaned up, and the partly written file stays.
#
# - Room for the package but not for the cabinets: the cabinet thread fails,
#   while the main thread waits for the installer (the recording stand-in,
#   waiting for the ready event, which is never set).
# - No room for the whole package: the main thread fails, and no installer
#   is started.
#
# Mounting needs root (or the capability to mount); without it the test is
# skipped (exit 77).
#
# Usage: test_disk_full.sh EXE
source "$(dirname "$0")/lib.sh"
source "$(dirname "$0")/lib_variants.sh"
qmb_variants_init "$1"

QMB_SKIP=77
# Outside the prefix, so that a stale mount never stands in the way of a new one.
disk="$WINEPREFIX-small-disk"
page="$(getconf PAGESIZE)"
label="Installer : Wrapper.WriteFile (In small chunks) "
drive="q:"
locallow_win='Q:\LocalLow'
staging="$disk/LocalLow/Qor/Vesk/qmb1.6.0_39"

pages() { echo $((($1 + page - 1) / page)); }

unmount_disk() {
  rm -f "$WINEPREFIX/dosdevices/$drive"
  if mountpoint -q "$disk" 2>/dev/null; then umount "$disk" || umount -l "$disk" || true; fi
  rmdir "$disk" 2>/dev/null || true
}

# mount_disk PAGES: a fresh tmpfs of that many pages as drive Q:, with the
# LocalLow folder on it.
mount_disk() {
  unmount_disk
  mkdir -p "$disk"
  if ! mount -t tmpfs -o "size=$(($1 * page)),mode=0755" qmb-e2e-small-disk "$disk" 2>"$QMB_WORK/mount.err"; then
    qmb_log "SKIP: cannot mount a tmpfs at $disk ($(tr '\n' ' ' <"$QMB_WORK/mount.err")); the disk-full test needs root"
    rmdir "$disk" 2>/dev/null || true
    exit $QMB_SKIP
  fi
  mkdir "$disk/LocalLow"
  ln -s "$disk" "$WINEPREFIX/dosdevices/$drive"
}

if (($(id -u) != 0)); then
  qmb_log "SKIP: the disk-full test mounts a tmpfs and needs root"
  exit $QMB_SKIP
fi
qmb_on_exit unmount_disk
qmb_trace_process_starts
mount_disk 1
qmb_redirect_shell_folder "{A520A1A4-1780-4FF6-BD18-167343C5AF16}" "$locallow_win"

# check_box ROW: exactly one box, the write step's message with error 112.
check_box() {
  local boxes count style caption text
  boxes="$(qmb_message_boxes)"
  count="$(printf '%s' "$boxes" | grep -c '' || true)"
  expect_eq "[$1] exactly one message box" 1 "$count"
  IFS='|' read -r style caption text <<<"$(printf '%s\n' "$boxes" | head -1)"
  local want="$label failed with error 112: "
  if [[ "$text" == "$want"?* ]]; then
    qmb_pass "[$1] the box names the write step, error 112 and the system's text ($text)"
  else
    qmb_fail "[$1] the box names the write step, error 112 and the system's text" \
      "expected: [$want<the system's text>]" "$(qmb_describe_boxes)"
  fi
  expect_eq "[$1] caption" "Error" "$caption"
  expect_eq "[$1] style MB_OK" 00000000 "$style"
}

package_size="$(stat -c %s "$QMB_PAYLOAD_DIR/qmb1.6.0_39.msi")"
package_pages="$(pages "$package_size")"

# --- room for the package and one page more. Which cabinet meets the full
# disk follows from the cabinets' sizes in the thread's order.
row="the disk fills while a cabinet is written"
qmb_log "--- $row"
qmb_reset_machine
qmb_use_recorder
mount_disk $((package_pages + 1))
free=1 failing="" complete=() later=()
for name in "${QMB_CABINET_NAMES[@]}"; do
  need="$(pages "$(stat -c %s "$QMB_PAYLOAD_DIR/$name")")"
  if [[ -n "$failing" ]]; then
    later+=("$name")
  elif ((need <= free)); then
    complete+=("$name")
    free=$((free - need))
  else
    failing="$name"
  fi
done
if [[ -z "$failing" ]]; then
  qmb_fail "[$row] the payload's cabinets need more than one page" "seen: they fit into one"
  qmb_finish
fi
qmb_log "expected: ${complete[*]:-no cabinet} complete, $failing cut short, ${later[*]:-none} not written"

if QMB_TRACE_BOXES=1 QMB_RECORD_WAIT_MS=60000 qmb_run "$QMB_EXE" ""; then
  expect_eq "[$row] exit code 112 (ERROR_DISK_FULL)" 112 "$RUN_EXIT"
  check_box "$row"
  # The main thread starts the cabinet thread with the module handle as its
  # parameter (the exe's preferred base address, where Wine loads it); the
  # box came from another thread.
  main_thread="$(qmb_thread_creations | grep -E '\|00400000$' | head -1 | cut -d'|' -f1)"
  box_thread="$(qmb_message_box_threads | head -1)"
  if [[ -n "$main_thread" && -n "$box_thread" && "$box_thread" != "$main_thread" ]]; then
    qmb_pass "[$row] the box was shown by the cabinet thread ($box_thread), not the main thread ($main_thread)"
  else
    qmb_fail "[$row] the box was shown by the cabinet thread, not the main thread" \
      "seen: main thread [$main_thread], box thread [$box_thread]" \
      "thread starts: $(qmb_thread_creations | tr '\n' ' ')"
  fi
  # The main thread starts the installer right after the cabinet thread, so
  # the failure may end the process before that start, during it (the call
  # never returns, and the new process may or may not come to run), or
  # after it. When the start returned, the stand-in runs and is still
  # waiting: the exe ended without setting the event.
  starts="$(qmb_process_starts | grep -F ' /i "' || true)"
  count="$(printf '%s' "$starts" | grep -c '' || true)"
  started="$(qmb_process_start_results | grep -E "^${main_thread:-none}\|" | head -1 | cut -d'|' -f2 || true)"
  if ((count > 1)); then
    qmb_fail "[$row] the installer was started at most once" "seen: $count starts"
  elif ((count == 1)); then
    expect_eq "[$row] the installer was started by the main thread" "$main_thread" "${starts%%|*}"
    if [[ -n "$started" && "$started" != 00000000 ]]; then
      qmb_pass "[$row] the installer was started once, by the main thread ($main_thread), before the failure"
      for _ in $(seq 1 50); do [[ -s "$QMB_RECORD" ]] && break; sleep 0.1; done
      expect_eq "[$row] the stand-in has not seen the ready event when the exe has ended" \
        "$(qmb_recorded_command_line)" "$(tr -d '\r' <"$QMB_RECORD" 2>/dev/null)"
      qmb_wine "$QMB_TOOLS_DIR/qmb-set-event.exe" 5000 >/dev/null || qmb_fail "[$row] the stand-in's event could be set"
      for _ in $(seq 1 50); do grep -q '^event=' "$QMB_RECORD" 2>/dev/null && break; sleep 0.2; done
    elif [[ -n "$started" ]]; then
      qmb_fail "[$row] the installer's start succeeded" "seen: CreateProcessA returned 0"
    else
      qmb_log "note: [$row] the process ended while the installer was being started"
      # If the new process came to run, it waits for the event; let it go.
      for _ in $(seq 1 20); do [[ -s "$QMB_RECORD" ]] && break; sleep 0.1; done
      if [[ -s "$QMB_RECORD" ]]; then
        qmb_wine "$QMB_TOOLS_DIR/qmb-set-event.exe" 5000 >/dev/null || true
        for _ in $(seq 1 50); do grep -q '^event=' "$QMB_RECORD" 2>/dev/null && break; sleep 0.2; done
      fi
    fi
  else
    qmb_log "note: [$row] the process ended before the installer was started"
  fi

  expect_same_file "[$row] the package stays, complete" "$QMB_PAYLOAD_DIR/qmb1.6.0_39.msi" "$staging/qmb1.6.0_39.msi"
  for name in "${complete[@]}"; do
    expect_same_file "[$row] $name, written before the disk was full, stays complete" \
      "$QMB_PAYLOAD_DIR/$name" "$staging/$name"
  done
  full="$(stat -c %s "$QMB_PAYLOAD_DIR/$failing")"
  seen="$(stat -c %s "$staging/$failing" 2>/dev/null || echo none)"
  if [[ "$seen" =~ ^[0-9]+$ ]] && ((seen < full)); then
    qmb_pass "[$row] the partly written $failing stays ($seen of $full bytes)"
  else
    qmb_fail "[$row] the partly written $failing stays" "expected: a file shorter than $full bytes" "seen: [$seen]"
  fi
  for name in "${later[@]}"; do
    expect_absent "[$row] $name, after the failure, was not written" "$staging/$name"
  done
else
  qmb_fail "[$row] the exe could be run"
fi

# --- no room for the whole package.
row="the disk fills while the package is written"
qmb_log "--- $row"
qmb_reset_machine
qmb_use_recorder
mount_disk $((package_pages > 1 ? package_pages - 1 : 1))
if QMB_TRACE_BOXES=1 qmb_run "$QMB_EXE" ""; then
  expect_eq "[$row] exit code 112 (ERROR_DISK_FULL)" 112 "$RUN_EXIT"
  check_box "$row"
  expect_absent "[$row] no installer was started" "$QMB_RECORD"
  seen="$(stat -c %s "$staging/qmb1.6.0_39.msi" 2>/dev/null || echo none)"
  if [[ "$seen" =~ ^[0-9]+$ ]] && ((seen < package_size)); then
    qmb_pass "[$row] the partly written package stays ($seen of $package_size bytes)"
  else
    qmb_fail "[$row] the partly written package stays" "expected: a file shorter than $package_size bytes" \
      "seen: [$seen]"
  fi
  expect_eq "[$row] no cabinet was written" "qmb1.6.0_39.msi" "$(ls -A "$staging" 2>/dev/null | tr '\n' ' ' | sed 's/ $//')"
else
  qmb_fail "[$row] the exe could be run"
fi
qmb_finish
