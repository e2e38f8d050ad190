#!/usr/bin/env bash
# A staging folder that cannot be created because a plain file stands where
# it would go: the maker folder Qor, or the staging directory itself
# (Qor\Vesk\qmb1.6.0_39). The folder creation fails unnoticed, so the
# package file cannot be created in it. The run must show the create step's
# message (two blanks before "failed", then the Windows error code 3, "the
# path was not found", and the system's text) with caption "Error", exit
# with 3, and leave the file in its way byte for byte as it was.
#
# Usage: test_create_failure.sh EXE
source "$(dirname "$0")/lib.sh"
qmb_init "$1"

label="Installer : Wrapper.CreateFile  failed with error 3: "

# row name | the path of the plain file, below the data folder (LocalLow)
rows=(
  "a file named Qor|Qor"
  "a file named like the staging directory|Qor/Vesk/qmb1.6.0_39"
)
for row in "${rows[@]}"; do
  IFS='|' read -r name relative <<<"$row"
  r="[$name]"
  qmb_log "--- $r"
  qmb_reset_machine
  blocker="$QMB_LOCALLOW/$relative"
  mkdir -p "$(dirname "$blocker")"
  # Text and binary bytes, so that any rewrite or truncation shows.
  printf 'a file where a folder would go\r\n\x00\x01\xfe\xff' >"$blocker"
  cp "$blocker" "$QMB_WORK/blocker.expected"

  if ! QMB_TRACE_BOXES=1 qmb_run "$QMB_EXE" ""; then
    qmb_fail "$r the exe could be run"
    continue
  fi
  expect_eq "$r full exit code is the Windows error code 3" 3 "$RUN_EXIT"

  boxes="$(qmb_message_boxes)"
  count="$(printf '%s' "$boxes" | grep -c '' || true)"
  expect_eq "$r exactly one message box" 1 "$count"
  IFS='|' read -r style caption text <<<"$(printf '%s\n' "$boxes" | head -1)"
  if [[ "$text" == "$label"?* ]]; then
    qmb_pass "$r the box names the create step, error 3 and the system's text"
  else
    qmb_fail "$r the box names the create step, error 3 and the system's text" \
      "expected: [$label<the system's text>]" "$(qmb_describe_boxes)"
  fi
  expect_eq "$r caption" "Error" "$caption"
  expect_eq "$r style MB_OK" 00000000 "$style"

  expect_same_file "$r the file standing in the way is untouched" "$QMB_WORK/blocker.expected" "$blocker"
  expect_eq "$r nothing else was written beside it" "$(basename "$blocker")" \
    "$(ls -A "$(dirname "$blocker")" 2>/dev/null | tr '\n' ' ' | sed 's/ $//')"
  expect_no_reg "$r no package ran" "$QMB_SAMPLE_KEY" CabWait
done
qmb_finish
