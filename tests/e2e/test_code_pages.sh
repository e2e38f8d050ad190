#!/usr/bin/env bash
# The command line on double-byte ANSI code pages, against the C runtime's
# own splitting of the same bytes, and the user's default language for real.
#
# For Japanese (code page 932, user language 1041) and Simplified Chinese
# (936, 2052) the page's Wine processes run with that LC_ALL: each Wine
# process takes its ANSI code page and the user's language from LC_ALL when
# it starts. The same argument bytes then go to qmb-argv.exe and to the exe,
# both through a file that qmb-launch.exe passes to CreateProcessA (an
# environment variable or a shell argument would be converted through the
# Unix locale's character set).
#
# The oracle is Wine's msvcrt, which qmb-argv.exe prints: it splits the wide
# form of the command line and converts each argument to the ANSI code page.
# It follows the newer rule for two double quotes inside quotes (one literal
# quote, quoting stays on) where the exe follows the older one (the quoting
# ends); the line below holds no such pair, so the two agree on it. The bytes hold characters whose second
# byte is 0x5C (95 5C, 83 5C and 94 5C in both code pages) before quotes
# and backslashes, and D5 5C, a character in 936 but a single byte and a
# backslash in 932, so the two code pages split the line differently.
#
# The exe's options must be the runtime's arguments: the main command line
# that reaches the recording stand-in for msiexec carries each pass-through
# argument, the silent defaults (so "/s" was an argument of its own) and,
# with no /lang=, the transform of the user's default language; the
# follow-up command lines carry the two folder values.
#
# Usage: test_code_pages.sh EXE
source "$(dirname "$0")/lib.sh"
source "$(dirname "$0")/lib_variants.sh"
qmb_variants_init "$1"

tool_win="$QMB_RECORDER_DIR_WIN\\msiexec.exe"
package_win="$QMB_USER_DIR_WIN\\AppData\\LocalLow\\Qor\\Vesk\\qmb1.6.0_39\\qmb1.6.0_39.msi"
kit_win='C:\qmb-e2e\kit'
arguments=$'"/INSTALLDIRPUBZLP=D:\\\x95\x5c" /s A=\x83\x5c\\"x "/INSTALLDIRVESKDB=E:\\\x94\x5c\\\\" B=\x95\x5c C=\xd5\x5c\\"y'

# A page's locale (none: the tests' own) for the Wine processes that follow;
# each takes its code page and language from LC_ALL when it starts (bash's
# warning when the host lacks that locale is not shown; Wine needs none).
# The prefix's server is restarted with it, which is not what sets the code
# page: it only starts each page with no process of the one before.
restart_server() {
  wineserver -k </dev/null >/dev/null 2>&1 || true
  wineserver -w </dev/null >/dev/null 2>&1 || true
  if [[ -n "${1:-}" ]]; then
    { export LC_ALL="$1"; } 2>/dev/null
  else
    { unset LC_ALL; } 2>/dev/null
  fi
  wineserver -p </dev/null >/dev/null 2>&1
}
qmb_on_exit restart_server

unhex() { printf '%b' "$(sed 's/../\\x&/g' <<<"$1")"; }

# expect_bytes WHAT EXPECTED ACTUAL: compared byte for byte, shown with the
# bytes outside ASCII escaped.
expect_bytes() { expect_eq "$1" "$(printf '%q' "$2")" "$(printf '%q' "$3")"; }

# The stand-in's command lines of the last run, the N-th (1-based).
recorded_line() { LC_ALL=C grep -a '^"' "$QMB_RECORD" 2>/dev/null | sed -n "$1p" || true; }

# page LOCALE CODE_PAGE LANGUAGE
page() {
  local locale="$1" code_page="$2" language="$3" row="[$2]"
  qmb_log "--- code page $code_page ($locale)"
  restart_server "$locale"
  qmb_reset_machine

  # The runtime's view.
  if ! QMB_RUN_VIA_FILE=1 qmb_run "$QMB_E2E_PROGRAMS_DIR/qmb-argv.exe" "$arguments"; then
    qmb_fail "$row the runtime's view could be taken"
    return 0
  fi
  expect_eq "$row the prefix's code page and user language" "acp=$code_page lang=$language" \
    "$(grep -a '^acp=' "$QMB_WORK/run.out" | tr -d '\r')"
  local -a argv=()
  local line
  while IFS= read -r line; do argv+=("$(unhex "${line#arg=}")"); done \
    < <(grep -a '^arg=' "$QMB_WORK/run.out" | tr -d '\r')
  expect_eq "$row the runtime takes /s as an argument of its own" /s "${argv[2]-}"

  # What the exe must make of those arguments: the pass-through ones each
  # followed by a blank, the folder values after the first "=".
  local pass="" runtime="" database="" silent=0 arg i
  for ((i = 1; i < ${#argv[@]}; i++)); do
    arg="${argv[$i]}"
    case "$arg" in
      /s) silent=1 ;;
      */INSTALLDIRPUBZLP=*) runtime="${arg#*=}" ;;
      */INSTALLDIRVESKDB=*) database="${arg#*=}" ;;
      /v* | */lang=* | *ADDLOCAL=* | */qn*) qmb_fail "$row the line holds only options this script models" "seen: $arg" ;;
      *) pass+="$arg " ;;
    esac
  done
  expect_eq "$row the runtime's arguments include the silent option" 1 "$silent"
  pass+=" /qn ADDLOCAL=PubliczlpFeature,ToolsFeature"

  # The exe's view.
  qmb_use_recorder
  mkdir -p "$QMB_TEST_DRIVE_DIR/kit"
  : >"$QMB_TEST_DRIVE_DIR/kit/zlp.msi"
  : >"$QMB_TEST_DRIVE_DIR/kit/veskdb.msi"
  qmb_reg_add "$QMB_KIT_KEY" /v VeskHome /t REG_SZ /d "$kit_win"
  if ! QMB_RUN_VIA_FILE=1 QMB_RECORD_EXIT=0 qmb_run "$QMB_EXE" "$arguments"; then
    qmb_fail "$row the exe could be run"
    return 0
  fi
  expect_eq "$row the installer's exit code is the run's" 0 "$RUN_EXIT"
  expect_eq "$row three installer runs: the kit and the two follow-ups" 3 "$(qmb_recorded_runs)"
  expect_bytes "$row the main command line: the runtime's arguments, the user's language" \
    "\"$tool_win\" /i \"$package_win\" TRANSFORMS=:$language $pass WRAPPER=1" "$(recorded_line 1)"
  expect_bytes "$row the runtime follow-up: the runtime's folder value" \
    "\"$tool_win\" /i \"$kit_win\\zlp.msi\" TRANSFORMS=\"$kit_win\\zlp$language.MST\" /qn ADDLOCAL=ALL SDKSILENT=1 INSTALLDIR=$runtime" \
    "$(recorded_line 2)"
  expect_bytes "$row the database follow-up: the runtime's folder value" \
    "\"$tool_win\" /i \"$kit_win\\veskdb.msi\" /qn INSTALLDIR=$database" "$(recorded_line 3)"
}

page ja_JP.UTF-8 932 1041
page zh_CN.UTF-8 936 2052
restart_server
qmb_finish
