#!/usr/bin/env bash
# A staging folder that cannot be created: a plain file named Qor stands
# where the maker folder would go, so the package file cannot be created.
# The run must show the create step's message (two blanks before "failed",
# then the Windows error code 3 and the system's text) with caption "Error",
# and exit with 3.
#
# Usage: test_create_failure.sh EXE
source "$(dirname "$0")/lib.sh"
qmb_init "$1"

printf 'a file where the Qor folder would go\n' >"$QMB_MAKER_DIR"

if ! QMB_TRACE_BOXES=1 qmb_run "$QMB_EXE" ""; then
  qmb_fail "the exe could be run"
  qmb_finish
fi
expect_eq "full exit code is the Windows error code 3" 3 "$RUN_EXIT"

boxes="$(qmb_message_boxes)"
count="$(printf '%s' "$boxes" | grep -c '' || true)"
expect_eq "exactly one message box" 1 "$count"
IFS='|' read -r style caption text <<<"$(printf '%s\n' "$boxes" | head -1)"
label="Installer : Wrapper.CreateFile  failed with error 3: "
if [[ "$text" == "$label"?* ]]; then
  qmb_pass "the box names the create step, error 3 and the system's text"
else
  qmb_fail "the box names the create step, error 3 and the system's text" \
    "expected: [$label<the system's text>]" "$(qmb_describe_boxes)"
fi
expect_eq "caption" "Error" "$caption"
expect_eq "style MB_OK" 00000000 "$style"
expect_eq "the file standing in the way is untouched" "a file where the Qor folder would go" "$(cat "$QMB_MAKER_DIR" 2>/dev/null)"
expect_no_reg "no package ran" "$QMB_SAMPLE_KEY" CabWait
qmb_finish
