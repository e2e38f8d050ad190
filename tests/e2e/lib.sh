# Shared helpers of the end-to-end tests (sourced by every test script).
#
# The tests run the real bootstrapper under Wine in one private prefix per
# ctest run, made by prefix_setup.sh. ctest passes:
#   WINEPREFIX              the prefix (absolute)
#   QMB_TOOLS_DIR           the test programs (qmb-launch.exe, msiexec-recorder.exe, ...)
#   QMB_PAYLOAD_DIR         the ten payload files the exe embeds
#   QMB_SAMPLE_TEST_INPUTS  with the sample payload: packages only the tests
#                           use (au-2.0.6.9/, an older updater)
#   QMB_E2E_FLAVOUR         the exe's flavour: i586, the 32-bit product (the
#                           default), or amd64, the 64-bit flavour
#   QMB_WINE_LOADER         what starts the exe, the test programs and Wine's
#                           own programs (reg, msiexec, cmd): wine (the
#                           default) for the 32-bit flavour's, and
#                           /usr/lib/wine/wine64 for the 64-bit one's, so that
#                           each runs natively with the builtins of its own
#                           bitness and sees the registry as the exe does
# The exe under test is each script's first argument.
#
# Checks do not stop a script: each prints "ok" or "FAIL" with what was
# expected and what was seen, and qmb_finish ends the script with 1 when any
# failed.

set -euo pipefail

: "${WINEPREFIX:?WINEPREFIX must name the test prefix}"
: "${QMB_TOOLS_DIR:?QMB_TOOLS_DIR must name the folder of the test programs}"
: "${QMB_PAYLOAD_DIR:?QMB_PAYLOAD_DIR must name the folder of the embedded payload}"
export WINEPREFIX
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
# No display: message boxes return at once (their texts are read from relay
# traces), and nothing appears on a developer's screen.
unset DISPLAY WAYLAND_DISPLAY
# A fixed locale, so that Wine picks the English (1033) resources whatever
# the host's locale.
export LANG=C.UTF-8
unset LC_ALL LC_MESSAGES LANGUAGE

QMB_E2E_FLAVOUR="${QMB_E2E_FLAVOUR:-i586}"
QMB_WINE_LOADER="${QMB_WINE_LOADER:-wine}"
# What the flavour changes: the registry view the exe and its packages use,
# the staging directory's name, and whether the updater phase runs.
if [[ "$QMB_E2E_FLAVOUR" == amd64 ]]; then
  QMB_REG_VIEW=/reg:64 QMB_STAGING_NAME=qmb1.6.0_39_x64 QMB_UPDATER_PHASE=0
else
  QMB_REG_VIEW=/reg:32 QMB_STAGING_NAME=qmb1.6.0_39 QMB_UPDATER_PHASE=1
fi

QMB_STATE_DIR="$WINEPREFIX/qmb-e2e"        # facts about the prefix, written by prefix_setup.sh
QMB_WORK="$QMB_STATE_DIR/work"             # scratch files of the current test
QMB_FAILURES=0
QMB_CHECKS=0

# Product codes of the sample packages.
QMB_KIT_PRODUCT_CODE="{1A23DD2B-93B3-4965-ADAB-EDED67A605EC}"
QMB_UPDATER_PRODUCT_CODE="{5C2E81A0-7B3D-4F19-9A64-2D8E0C7B1F35}"
QMB_RUNTIME_PRODUCT_CODE="{AC4A6617-D777-4F20-829D-760CEE674E0D}"
QMB_DATABASE_PRODUCT_CODE="{CF672471-F1F0-4BEE-AC2D-507501AFE037}"
QMB_INSTALLER_KEY='HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Installer'
QMB_UNINSTALL_KEY='HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall'
QMB_SETTINGS_KEY='HKLM\SOFTWARE\Morvanta'
QMB_SAMPLE_KEY='HKLM\SOFTWARE\Morvanta\Vesk Sample'
QMB_KIT_KEY='HKLM\SOFTWARE\Morvanta\Vesk Development Kit\1.6.0_39'
QMB_RUNTIME_KEY='HKLM\SOFTWARE\Morvanta\Vesk Runtime Environment\1.6.0_39'
QMB_DATABASE_KEY='HKLM\SOFTWARE\Morvanta\Vesk DB\1.6.0_39'
QMB_UPDATER_KEY='HKLM\SOFTWARE\Morvanta\Auto Update'
# What the bootstrapper passes to the updater's registration tool.
QMB_REGISTRATION_ARGUMENTS="-r zlp 1.6.0_39-b04"
QMB_VERSION_MESSAGE_EN="Vesk(TM) could not be installed because the Windows Installer 2.0 Engine is not installed on this system.  Please download and install Windows Installer 2.0 or higher from the Microsoft web site."

# The guard on any one Wine command: the kit package waits up to 15 minutes
# for its event, so a broken run would otherwise hang the test.
QMB_RUN_TIMEOUT="${QMB_RUN_TIMEOUT:-120}"

qmb_log() { printf '%s\n' "$*"; }

# ------------------------------------------------------------------ checks

qmb_pass() { QMB_CHECKS=$((QMB_CHECKS + 1)); qmb_log "ok:   $1"; }

# qmb_fail WHAT [DETAIL...]
qmb_fail() {
  QMB_CHECKS=$((QMB_CHECKS + 1))
  QMB_FAILURES=$((QMB_FAILURES + 1))
  qmb_log "FAIL: $1"
  shift
  local line
  for line in "$@"; do qmb_log "      $line"; done
}

# expect_eq WHAT EXPECTED ACTUAL
expect_eq() {
  if [[ "$2" == "$3" ]]; then
    qmb_pass "$1"
  else
    qmb_fail "$1" "expected: [$2]" "seen:     [$3]"
  fi
}

# expect_prefix WHAT PREFIX ACTUAL
expect_prefix() {
  if [[ "$3" == "$2"* ]]; then
    qmb_pass "$1"
  else
    qmb_fail "$1" "expected to begin with: [$2]" "seen:                   [$3]"
  fi
}

expect_file() {
  if [[ -f "$2" ]]; then qmb_pass "$1"; else qmb_fail "$1" "expected a file: $2" "$(qmb_describe_path "$2")"; fi
}

expect_dir() {
  if [[ -d "$2" ]]; then qmb_pass "$1"; else qmb_fail "$1" "expected a folder: $2" "$(qmb_describe_path "$2")"; fi
}

expect_absent() {
  if [[ ! -e "$2" ]]; then qmb_pass "$1"; else qmb_fail "$1" "expected nothing at: $2" "$(qmb_describe_path "$2")"; fi
}

# expect_same_file WHAT EXPECTED_PATH ACTUAL_PATH
expect_same_file() {
  if [[ ! -f "$3" ]]; then
    qmb_fail "$1" "expected a copy of $2" "$(qmb_describe_path "$3")"
  elif cmp -s "$2" "$3"; then
    qmb_pass "$1"
  else
    qmb_fail "$1" "expected the bytes of $2 ($(stat -c %s "$2") bytes)" \
      "seen $3 ($(stat -c %s "$3") bytes), first difference: $(cmp "$2" "$3" 2>&1 | head -1)"
  fi
}

qmb_describe_path() {
  if [[ -d "$1" ]]; then
    printf 'seen: a folder holding [%s]' "$(ls -A "$1" | tr '\n' ' ')"
  elif [[ -e "$1" ]]; then
    printf 'seen: a file of %s bytes' "$(stat -c %s "$1")"
  else
    local parent="$1"
    while [[ ! -e "$parent" && "$parent" != / ]]; do parent="$(dirname "$parent")"; done
    printf 'seen: nothing there; the nearest existing parent is %s' "$parent"
  fi
}

qmb_finish() {
  if ((QMB_FAILURES > 0)); then
    qmb_log "$QMB_FAILURES of $QMB_CHECKS checks failed"
    exit 1
  fi
  if ((QMB_CHECKS == 0)); then
    qmb_log "no checks were made"
    exit 1
  fi
  qmb_log "all $QMB_CHECKS checks passed"
}

# ------------------------------------------------------------------ wine

# Runs a program under Wine (QMB_WINE_LOADER) with the guard timeout; a
# command that hangs is killed together with everything in the prefix, and
# the persistent server is restarted.
qmb_wine() {
  local rc=0
  timeout "$QMB_RUN_TIMEOUT" "$QMB_WINE_LOADER" "$@" || rc=$?
  if ((rc == 124)); then
    qmb_log "wine $* did not finish within $QMB_RUN_TIMEOUT s; ending every process of the prefix"
    wineserver -k </dev/null >/dev/null 2>&1 || true
    wineserver -p </dev/null >/dev/null 2>&1 || true
  fi
  return $rc
}

# Path names between Unix and Windows, each asked of Wine once per prefix:
# the answers are kept in the prefix's state folder (drives C: and Z: only,
# which no test changes).
qmb_winpath() { _qmb_path -w "$1"; }
qmb_unixpath() { _qmb_path -u "$1"; }
_qmb_path() {
  local cache="$QMB_STATE_DIR/paths$1" answer
  if [[ -f "$cache" ]]; then
    answer="$(awk -F '\t' -v k="$2" '$1 == k { print $2; exit }' "$cache")"
    if [[ -n "$answer" ]]; then printf '%s\n' "$answer"; return; fi
  fi
  answer="$("$QMB_WINE_LOADER" winepath "$1" "$2" 2>/dev/null | tr -d '\r')"
  printf '%s\n' "$answer"
  local win="$2"
  [[ "$1" == -w ]] && win="$answer"
  if [[ -n "$answer" && "$2$answer" != *$'\t'* && "${win:0:2}" =~ ^[CcZz]:$ ]]; then
    printf '%s\t%s\n' "$2" "$answer" >>"$cache"
  fi
}

# qmb_run EXE [ARGUMENTS]
# Runs EXE through qmb-launch.exe with the command line "<EXE as a Windows
# path>" followed by ARGUMENTS verbatim (one text, as the exe should see it:
# nothing is re-quoted). With QMB_RUN_VIA_FILE=1 the launcher reads the line
# from a file instead of its environment, so that bytes outside ASCII reach
# it unconverted. Sets RUN_EXIT (unsigned) and RUN_EXIT_SIGNED, and
# leaves the launcher's output in $QMB_WORK/run.out and Wine's stderr in
# $QMB_WORK/run.err. With QMB_TRACE_BOXES=1 the run is relay-traced so that
# qmb_message_boxes can read the message boxes it showed.
qmb_run() {
  local exe="$1" args="${2-}"
  local win_exe
  win_exe="$(qmb_winpath "$exe")"
  local cmdline="\"$win_exe\""
  [[ -n "$args" ]] && cmdline+=" $args"
  mkdir -p "$QMB_WORK"
  RUN_EXIT="" RUN_EXIT_SIGNED=""
  local debug=-all
  [[ "${QMB_TRACE_BOXES:-0}" == 1 ]] && debug=-all,+relay
  local rc=0
  if [[ "${QMB_RUN_VIA_FILE:-0}" == 1 ]]; then
    printf '%s' "$cmdline" >"$QMB_WORK/cmdline.txt"
    QMB_LAUNCH_CMDLINE_FILE="$(qmb_winpath "$QMB_WORK")\\cmdline.txt" WINEDEBUG="$debug" \
      qmb_wine "$QMB_TOOLS_DIR/qmb-launch.exe" >"$QMB_WORK/run.out" 2>"$QMB_WORK/run.err" || rc=$?
  else
    QMB_LAUNCH_CMDLINE="$cmdline" WINEDEBUG="$debug" \
      qmb_wine "$QMB_TOOLS_DIR/qmb-launch.exe" >"$QMB_WORK/run.out" 2>"$QMB_WORK/run.err" || rc=$?
  fi
  local line
  line="$(grep -a '^exit=' "$QMB_WORK/run.out" | tr -d '\r' | tail -1 || true)"
  if ((rc != 0)) || [[ ! "$line" =~ ^exit=([0-9]+)\ signed=(-?[0-9]+)$ ]]; then
    qmb_log "could not run: $cmdline"
    qmb_log "launcher status $rc; its output:"
    sed 's/^/      /' "$QMB_WORK/run.out"
    return 1
  fi
  RUN_EXIT="${BASH_REMATCH[1]}"
  RUN_EXIT_SIGNED="${BASH_REMATCH[2]}"
  qmb_log "ran: $cmdline -> exit=$RUN_EXIT signed=$RUN_EXIT_SIGNED"
}

# The message boxes of the last traced run, one per line:
#   <style in hex>|<caption>|<text>
# Texts are as Wine's trace prints them: \r, \n, \" and \xNN escaped, and
# cut with "..." after about 290 characters.
qmb_message_boxes() {
  sed -n -E 's/^[0-9a-f]+:Call user32\.MessageBox[AW]\([0-9a-f]+,[0-9a-f]+ L?"(.*)"(\.\.\.)?,[0-9a-f]+ L?"(.*)",([0-9a-f]+)\) ret=[0-9a-f]+$/\4|\3|\1\2/p' \
    "$QMB_WORK/run.err"
}

# Lists what the last traced run showed, for failure reports.
qmb_describe_boxes() {
  local boxes
  boxes="$(grep -a 'Call user32.MessageBox' "$QMB_WORK/run.err" || true)"
  if [[ -z "$boxes" ]]; then
    printf 'seen: no message box'
  else
    printf 'seen: %s' "$boxes"
  fi
}

# ------------------------------------------------------------------ registry

# qmb_reg_value KEY NAME: prints the data of a value (in the flavour's
# view); status 1 when the key or the value is missing.
qmb_reg_value() {
  local out
  out="$(qmb_wine reg query "$1" /v "$2" $QMB_REG_VIEW 2>/dev/null | tr -d '\r')" || return 1
  local line
  line="$(printf '%s\n' "$out" | grep -E "^    $(printf '%s' "$2" | sed 's/[][\.*^$]/\\&/g')    REG_" | head -1)" || return 1
  [[ -n "$line" ]] || return 1
  printf '%s' "$line" | sed -E 's/^    .*    REG_[A-Z_]+    ?//'
}

# qmb_reg_key_exists KEY
qmb_reg_key_exists() { qmb_wine reg query "$1" $QMB_REG_VIEW >/dev/null 2>&1; }

# expect_reg WHAT KEY NAME EXPECTED
expect_reg() {
  local value
  if value="$(qmb_reg_value "$2" "$3")"; then
    expect_eq "$1" "$4" "$value"
  else
    qmb_fail "$1" "expected $2 : $3 = [$4]" "seen: no such value"
  fi
}

# expect_no_reg WHAT KEY NAME
expect_no_reg() {
  local value
  if value="$(qmb_reg_value "$2" "$3")"; then
    qmb_fail "$1" "expected no value $2 : $3" "seen: [$value]"
  else
    qmb_pass "$1"
  fi
}

qmb_reg_add() { qmb_wine reg add "$@" $QMB_REG_VIEW /f >/dev/null; }
qmb_reg_delete() { qmb_wine reg delete "$@" $QMB_REG_VIEW /f >/dev/null 2>&1 || true; }

# ------------------------------------------------------------------ machine

# Facts about the prefix (see prefix_setup.sh): QMB_USER_DIR, QMB_USER_DIR_WIN, QMB_LOCALLOW,
# QMB_PROGRAM_FILES, QMB_PROGRAM_FILES_WIN, QMB_COMMON_FILES, QMB_COMMON_FILES_WIN,
# QMB_SYSTEM32_DIR, QMB_INSTALLER_LOCATION.
qmb_load_state() {
  if [[ ! -f "$QMB_STATE_DIR/state.sh" ]]; then
    qmb_log "the test prefix is not set up ($QMB_STATE_DIR/state.sh missing): run the e2e.prefix.setup test first"
    exit 1
  fi
  # shellcheck source=/dev/null
  source "$QMB_STATE_DIR/state.sh"
  QMB_MAKER_DIR="$QMB_LOCALLOW/Qor"
  QMB_STAGING_DIR="$QMB_MAKER_DIR/Vesk/$QMB_STAGING_NAME"
  QMB_KIT_DIR="$QMB_PROGRAM_FILES/Morvanta/Vesk 1.6.0_39"
  QMB_RUNTIME_DIR="$QMB_PROGRAM_FILES/Morvanta/Vesk Runtime 1.6.0_39"
  QMB_RUNTIME_DIR_WIN="$QMB_PROGRAM_FILES_WIN\Morvanta\Vesk Runtime 1.6.0_39"
  QMB_DATABASE_DIR="$QMB_PROGRAM_FILES/Morvanta/Vesk DB 1.6.0_39"
  QMB_DATABASE_DIR_WIN="$QMB_PROGRAM_FILES_WIN\Morvanta\Vesk DB 1.6.0_39"
  QMB_UPDATER_FOLDER="$QMB_MAKER_DIR/Vesk/AU"
  QMB_REGISTRATION_TOOL="$QMB_COMMON_FILES/Vesk/Vesk Update/kwinpo.exe"
  # C:\qmb-e2e: folders that tests give to the packages (INSTALLDIR=...).
  QMB_TEST_DRIVE_DIR="$WINEPREFIX/drive_c/qmb-e2e"
}

# qmb_init EXE: the start of every test script that runs the exe: loads the
# prefix's facts, resets the machine, and resets it again when the script
# ends, however it ends.
qmb_init() {
  QMB_EXE="$1"
  QMB_EXE_NAME="$(basename "$QMB_EXE")"
  if [[ ! -f "$QMB_EXE" ]]; then
    qmb_log "no exe under test at $QMB_EXE"
    exit 1
  fi
  qmb_load_state
  qmb_reset_machine
  trap qmb_reset_machine EXIT
}

# Uninstalls a product if it is installed (1605: it was not).
qmb_uninstall() {
  local rc=0
  qmb_wine msiexec /x "$1" /qn >/dev/null 2>&1 || rc=$?
  if ((rc != 0 && rc != 1605 && rc != 69)); then
    qmb_log "warning: msiexec /x $1 exited with $rc"
  fi
}

# Brings the prefix back to the state prefix_setup.sh left: no sample
# products (kit, runtime, database, updater), no vendor keys, no staging,
# data or install folders, the system's own msi.dll and InstallerLocation, no
# per-exe Wine settings.
qmb_reset_machine() {
  # One look at the installed products instead of an uninstall of each (a
  # Wine start costs about a second where Wine runs emulated); when the look
  # fails, each is uninstalled all the same.
  local installed="" code
  installed="$(qmb_wine reg query "$QMB_UNINSTALL_KEY" $QMB_REG_VIEW 2>/dev/null | tr -d '\r')" || installed="*"
  for code in "$QMB_KIT_PRODUCT_CODE" "$QMB_RUNTIME_PRODUCT_CODE" "$QMB_DATABASE_PRODUCT_CODE" \
              "$QMB_UPDATER_PRODUCT_CODE"; do
    if [[ "$installed" == "*" || "${installed^^}" == *"${code^^}"* ]]; then qmb_uninstall "$code"; fi
  done
  qmb_reg_delete "$QMB_SETTINGS_KEY"
  if [[ -n "${QMB_EXE_NAME:-}" ]]; then
    qmb_wine reg delete "HKCU\\Software\\Wine\\AppDefaults\\$QMB_EXE_NAME" /f >/dev/null 2>&1 || true
  fi
  qmb_reg_add "$QMB_INSTALLER_KEY" /v InstallerLocation /t REG_SZ /d "$QMB_INSTALLER_LOCATION"
  cmp -s "$QMB_STATE_DIR/msi.dll" "$QMB_SYSTEM32_DIR/msi.dll" || cp "$QMB_STATE_DIR/msi.dll" "$QMB_SYSTEM32_DIR/msi.dll"
  # Files installed into folders given on the command line stay after an
  # uninstall under Wine, which looks for them in the default folders.
  rm -rf "$QMB_MAKER_DIR" "$QMB_PROGRAM_FILES/Morvanta" "$QMB_COMMON_FILES/Vesk" "$QMB_TEST_DRIVE_DIR" "$QMB_WORK"
  mkdir -p "$QMB_WORK"
}

# The files the sample kit installs into its folder (each is also its member
# name in the cabinets).
QMB_KIT_FILE_NAMES=(zlp.msi zlp1041.MST zlp2052.MST veskdb.msi src.tar tools.tar unpack.exe LEGAL.txt vesksetup.dll)

# Extracts every kit cabinet of the payload into $QMB_KIT_REFERENCE, the
# files the kit must install (kept apart from $QMB_WORK, which each reset
# empties).
qmb_extract_kit_cabinets() {
  QMB_KIT_REFERENCE="$QMB_STATE_DIR/kit-reference"
  rm -rf "$QMB_KIT_REFERENCE"
  mkdir -p "$QMB_KIT_REFERENCE"
  local cab
  for cab in sj160390 sb160390 ss160390 st160390 sp160390 sz160390 sr160390; do
    if ! gcab -x -n -C "$QMB_KIT_REFERENCE" "$QMB_PAYLOAD_DIR/$cab.cab" >/dev/null; then
      qmb_log "cannot extract $QMB_PAYLOAD_DIR/$cab.cab"
      exit 1
    fi
  done
}

# ------------------------------------------------------------------ products

# qmb_product_installed CODE: the Windows Installer lists the product.
qmb_product_installed() { qmb_reg_key_exists "$QMB_UNINSTALL_KEY\\$1"; }

# expect_product WHAT CODE installed|absent
expect_product() {
  local seen=absent
  qmb_product_installed "$2" && seen=installed
  if [[ "$seen" == "$3" ]]; then
    qmb_pass "$1"
  else
    qmb_fail "$1" "expected the product $2 to be $3" "seen: $seen"
  fi
}

# qmb_reg_stored SUBKEY VALUE: how a value under HKLM is stored, as
# qmb-reg-query.exe prints it ("type=1 wide_bytes=12 ansi_bytes=6 text=exists").
qmb_reg_stored() {
  qmb_wine "$QMB_TOOLS_DIR/qmb-reg-query.exe" "$1" "$2" 2>/dev/null | tr -d '\r' || true
}

# qmb_install_package MSI [ARGUMENTS...]: msiexec /i MSI ARGUMENTS /qn, with
# the package given by its Unix path; prints nothing, returns msiexec's
# status (modulo 256, as the shell sees it).
qmb_install_package() {
  local msi
  msi="$(qmb_winpath "$1")"
  shift
  qmb_wine msiexec /i "$msi" "$@" /qn >>"$QMB_WORK/msiexec.out" 2>&1
}

# The runtime package's files (each also its member name in zlp.msi's cabinet).
QMB_RUNTIME_FILE_NAMES=(README.txt extras.txt)

# expect_runtime_installed ROW FOLDER FOLDER_WIN LANGUAGE EDITION
# The runtime follow-up as the kit or the bootstrapper installs it: with
# ADDLOCAL=ALL (so the extras feature too) and SDKSILENT=1, into FOLDER, with
# the transform of LANGUAGE applied (1033: none).
expect_runtime_installed() {
  local row="$1" folder="$2" folder_win="$3" language="$4" edition="$5" name
  expect_product "$row: the runtime package is installed" "$QMB_RUNTIME_PRODUCT_CODE" installed
  for name in "${QMB_RUNTIME_FILE_NAMES[@]}"; do
    expect_file "$row: the runtime's $name is in its folder (ADDLOCAL=ALL)" "$folder/$name"
  done
  expect_reg "$row: the runtime key records its folder" "$QMB_RUNTIME_KEY" InstallDir "$folder_win\\"
  expect_reg "$row: the runtime got SDKSILENT=1" "$QMB_RUNTIME_KEY" SdkSilent 1
  expect_reg "$row: the runtime's language (its transform)" "$QMB_RUNTIME_KEY" Language "$language"
  expect_reg "$row: the runtime's edition (its transform)" "$QMB_RUNTIME_KEY" Edition "$edition"
}

# expect_database_installed ROW FOLDER FOLDER_WIN
expect_database_installed() {
  expect_product "$1: the database package is installed" "$QMB_DATABASE_PRODUCT_CODE" installed
  expect_file "$1: the database's file is in its folder" "$2/README.txt"
  expect_reg "$1: the database records its folder" "$QMB_DATABASE_KEY" InstallDir "$3\\"
}

# expect_updater_installed ROW RUNS: the updater phase ran to its end: au.msi
# and au.cab in the updater folder as embedded, the carried updater
# installed (AUVersion 2.0.7.2), and its registration tool started RUNS times
# in all, the last time with the runtime tag and the full version.
expect_updater_installed() {
  local row="$1" runs="$2"
  expect_same_file "$row: au.msi in the updater folder" "$QMB_PAYLOAD_DIR/au.msi" "$QMB_UPDATER_FOLDER/au.msi"
  expect_same_file "$row: au.cab in the updater folder" "$QMB_PAYLOAD_DIR/au.cab" "$QMB_UPDATER_FOLDER/au.cab"
  expect_product "$row: the updater is installed" "$QMB_UPDATER_PRODUCT_CODE" installed
  expect_reg "$row: AUVersion is the carried updater's" "$QMB_UPDATER_KEY" AUVersion 2.0.7.2
  expect_reg "$row: the installed updater's version" "$QMB_UNINSTALL_KEY\\$QMB_UPDATER_PRODUCT_CODE" \
    DisplayVersion 2.0.7.2
  expect_file "$row: the registration tool is installed" "$QMB_REGISTRATION_TOOL"
  expect_reg "$row: the registration tool got the runtime tag and the full version" "$QMB_SAMPLE_KEY" \
    RegistrationArguments "$QMB_REGISTRATION_ARGUMENTS"
  expect_reg "$row: the registration tool ran $runs time(s)" "$QMB_SAMPLE_KEY" RegistrationRuns \
    "$(printf '0x%x' "$runs")"
  expect_reg "$row: the runtime is registered with the updater" "$QMB_UPDATER_KEY\\Runtimes" zlp 1.6.0_39-b04
}

# expect_no_updater_phase ROW: the updater phase did not run.
expect_no_updater_phase() {
  expect_absent "$1: no updater folder" "$QMB_UPDATER_FOLDER"
  expect_product "$1: no updater installed" "$QMB_UPDATER_PRODUCT_CODE" absent
  expect_no_reg "$1: the registration tool did not run" "$QMB_SAMPLE_KEY" RegistrationRuns
}

# expect_updater_phase ROW RUNS: after a successful install with the runtime
# registered, the updater phase as expect_updater_installed says; the
# 64-bit flavour skips it.
expect_updater_phase() {
  if ((QMB_UPDATER_PHASE)); then
    expect_updater_installed "$1" "$2"
  else
    expect_no_updater_phase "$1: the 64-bit flavour skips the updater phase"
  fi
}

# expect_vesk_folder_left ROW: after a run that ended normally, Qor\Vesk
# holds the updater folder and nothing else (the 64-bit flavour: nothing).
expect_vesk_folder_left() {
  local left=""
  ((QMB_UPDATER_PHASE)) && left=AU
  expect_eq "$1: only the updater folder (if any) is left under Qor\\Vesk" "$left" \
    "$(ls -A "$QMB_MAKER_DIR/Vesk" 2>/dev/null | tr '\n' ' ' | sed 's/ $//')"
}

# expect_package_from_staging ROW: the installer read the kit's package from
# the flavour's staging directory (the source it records for the product).
expect_package_from_staging() {
  expect_reg "$1: the installer read the package from the staging directory" \
    "$QMB_UNINSTALL_KEY\\$QMB_KIT_PRODUCT_CODE" InstallSource \
    "$QMB_USER_DIR_WIN\\AppData\\LocalLow\\Qor\\Vesk\\$QMB_STAGING_NAME\\"
}

# expect_installer_runs ROW N: the kit's execute sequence ran N times.
expect_installer_runs() {
  expect_reg "$1: the installer ran the kit $2 time(s)" "$QMB_SAMPLE_KEY" ExecuteRuns "$(printf '0x%x' "$2")"
}

# The four files that the silent follow-up phase deletes from the kit's folder.
QMB_FOLLOWUP_FILE_NAMES=(zlp.msi veskdb.msi zlp2052.MST zlp1041.MST)

expect_followup_files_deleted() {
  local name
  for name in "${QMB_FOLLOWUP_FILE_NAMES[@]}"; do
    expect_absent "$1: $name is deleted from the kit's folder" "$QMB_KIT_DIR/$name"
  done
}

# qmb_run_or_fail ROW EXE [ARGUMENTS]: qmb_run, recording a failure when the
# exe could not be run at all; status 1 then.
qmb_run_or_fail() {
  local row="$1"
  shift
  if ! qmb_run "$@"; then
    qmb_fail "$row: the exe could be run"
    return 1
  fi
}
