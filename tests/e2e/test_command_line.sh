#!/usr/bin/env bash
# The exe's own command line, given verbatim (qmb-launch.exe passes it to
# CreateProcessA untouched), against the main command line that reaches the
# installer tool (msiexec-recorder.exe standing in for msiexec.exe through
# InstallerLocation). The exe splits its line itself: quotes group and are
# dropped, 2n backslashes before a quote give n, 2n+1 give n and a literal
# quote, a doubled quote inside quotes gives one and ends the quoting, and
# other backslashes stay. What the splitting leaves of each argument that is
# not an option is passed on, followed by one blank; /v payloads between
# blanks; /lang= chooses the transform or is dropped.
#
# Texts that do not fit the exe's 1024-character texts end the run with 1639
# (ERROR_INVALID_COMMAND_LINE) before any installer starts: an argument that
# overflows the pass-through text ends it before anything is written; a main
# command line one character too long ends it after the staging directory
# was made, and that directory is removed again.
#
# Usage: test_command_line.sh EXE
source "$(dirname "$0")/lib.sh"
source "$(dirname "$0")/lib_variants.sh"
qmb_variants_init "$1"

tool_win="$QMB_RECORDER_DIR_WIN\\msiexec.exe"
package_win="$QMB_USER_DIR_WIN\\AppData\\LocalLow\\Qor\\Vesk\\qmb1.6.0_39\\qmb1.6.0_39.msi"

# The main command line for a language and a pass-through text.
main_line() {
  if [[ "$1" == 1033 ]]; then
    printf '"%s" /i "%s" %s WRAPPER=1' "$tool_win" "$package_win" "$2"
  else
    printf '"%s" /i "%s" TRANSFORMS=:%s %s WRAPPER=1' "$tool_win" "$package_win" "$1" "$2"
  fi
}

# run_row NAME ARGUMENTS: one run of the exe with the stand-in, from a
# machine just reset; 1 when the exe could not be run at all.
run_row() {
  if ((${#2} > 100)); then qmb_log "--- $1: [${2:0:100}...]"; else qmb_log "--- $1: [$2]"; fi
  qmb_reset_machine
  qmb_use_recorder
  if ! QMB_RECORD_EXIT=0 qmb_run "$QMB_EXE" "$2"; then
    qmb_fail "[$1] the exe could be run"
    return 1
  fi
}

# row NAME ARGUMENTS LANGUAGE PASS-THROUGH: the run must start the installer
# once, with the main command line for that language and pass-through text.
row() {
  local name="$1" args="$2" language="$3" pass="$4"
  run_row "$name" "$args" || return 0
  expect_eq "[$name] the installer's exit code is the run's" 0 "$RUN_EXIT"
  expect_eq "[$name] the main command line" "$(main_line "$language" "$pass")" "$(qmb_recorded_command_line)"
  expect_eq "[$name] one installer run" 1 "$(qmb_recorded_runs)"
  expect_absent "[$name] the staging directory is removed" "$QMB_STAGING_DIR"
}

# refused NAME ARGUMENTS STAGING-MADE: the run must end with 1639, start no
# installer, and leave no staging directory; STAGING-MADE tells whether the
# run got as far as making one (it is then removed again).
refused() {
  local name="$1" args="$2"
  run_row "$name" "$args" || return 0
  expect_eq "[$name] exit code 1639 (ERROR_INVALID_COMMAND_LINE)" 1639 "$RUN_EXIT"
  if [[ -e "$QMB_RECORD" ]]; then
    qmb_fail "[$name] no installer was started" "seen: $(head -c 300 "$QMB_RECORD")..."
  else
    qmb_pass "[$name] no installer was started"
  fi
  if [[ "$3" == made ]]; then
    expect_absent "[$name] the staging directory it made is removed, with its Vesk and Qor folders" "$QMB_MAKER_DIR"
  else
    expect_absent "[$name] nothing was written: no Qor folder" "$QMB_MAKER_DIR"
  fi
}

# Quoting and escapes. Pass-through texts end with the blank each argument gets.
row "no arguments" '' 1033 ''
row "quoted argument with a blank" '"PROP=a b"' 1033 'PROP=a b '
row "quotes inside an argument only group" 'INSTALLDIR="C:\Program Files\Kit" /qb' 1033 'INSTALLDIR=C:\Program Files\Kit /qb '
row "escaped quotes" 'A=\"x\"' 1033 'A="x" '
row "three backslashes and a quote: one backslash and a literal quote" 'C:\dir\\\"' 1033 'C:\dir\" '
row "two backslashes before a closing quote: one backslash" '"D=C:\Kit Dir\\" B=2' 1033 'D=C:\Kit Dir\ B=2 '
row "backslashes not before a quote stay" 'P=\\srv\share\\x\\\y' 1033 'P=\\srv\share\\x\\\y '
row "a doubled quote inside quotes is one literal quote" '"A=""q"""' 1033 'A="q" '
row "a doubled quote inside quotes ends the quoting" '"say ""hi"" there"' 1033 'say "hi there '
row "tabs and runs of blanks separate" $'A=1\t B=2    C=3' 1033 'A=1 B=2 C=3 '
row "an empty quoted argument" 'A=1 "" B=2' 1033 'A=1  B=2 '

# /v: the payload between blanks; with /v and a quote (which only an escaped
# quote can leave), the last character is dropped too.
row "/v built from escaped quotes" '/v\"/qn\"' 1033 ' /qn '
row "/v quoted as a whole, with blanks in its payload" '"/v\"/qn REBOOT=ReallySuppress\""' 1033 \
  ' /qn REBOOT=ReallySuppress '
row "/v with ordinary quotes (dropped by the splitting)" '/v"A=1 B=2"' 1033 ' A=1 B=2 '
row "/v without quotes" '/vREBOOT=R' 1033 ' REBOOT=R '

# Languages of a development-kit build: 1033, 1041 and 2052.
row "/lang=2052" '/lang=2052' 2052 ''
row "/lang=1036 is dropped" '/lang=1036' 1033 ''
row "a rejected /lang= keeps the earlier choice" '/lang=1041 /lang=1036' 1041 ''
row "a quoted /lang=" '"/lang=2052"' 2052 ''
row "/LANG= is not an option" '/LANG=1041' 1033 '/LANG=1041 '

# Silent defaults next to quoted arguments.
row "/s with a quoted ADDLOCAL" '/s "ADDLOCAL=A,B"' 1033 'ADDLOCAL=A,B  /qn'
row "/s with /qn inside a /v payload" '/s "/v\"/qn\""' 1033 ' /qn  ADDLOCAL=PubliczlpFeature,ToolsFeature'
row "a quoted folder option is not passed on" '"/INSTALLDIRPUBZLP=C:\Run Time" A=1' 1033 'A=1 '

# Capacities. The pass-through text holds 1023 characters: one argument of
# 1023 characters does not fit with its blank, nor do two that add up to more.
long_arg="X=$(printf 'a%.0s' $(seq 1 1022))"
refused "an argument of ${#long_arg} characters" "$long_arg" none
refused "a quoted argument of 1030 characters with blanks" "\"Y=$(printf 'b %.0s' $(seq 1 514))\"" none
half="Z=$(printf 'c%.0s' $(seq 1 598))"
refused "two arguments of ${#half} characters" "$half $half" none

# The main command line holds 1023 characters. The fixed part around the
# pass-through text is the quoted tool and package paths, " /i ", the blanks
# and " WRAPPER=1"; one argument then makes a line of exactly 1023
# characters, which runs, and one character more, which does not.
fixed="$(main_line 1033 '')"
fits=$((1023 - ${#fixed} - 1))  # the argument's own blank is the other character
fitting="F=$(printf 'd%.0s' $(seq 1 $((fits - 2))))"
expected_line="$(main_line 1033 "$fitting ")"
if ((${#expected_line} != 1023)); then
  qmb_fail "the boundary rows are computed right" "expected a 1023-character line, computed ${#expected_line}"
fi
row "a main command line of exactly 1023 characters" "$fitting" 1033 "$fitting "
refused "a main command line of 1024 characters" "${fitting}d" made
qmb_finish
