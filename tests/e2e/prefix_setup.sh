#!/usr/bin/env bash
# Fixture: a fresh private Wine prefix for this test run.
#
# Removes the previous prefix, boots a new one, starts a persistent
# wineserver (so that each later Wine start takes milliseconds), and records
# in $WINEPREFIX/qmb-e2e what the tests need to know about it, as the exe's
# flavour sees it: the user's folders, the system folder, the program files
# and common files folders, and copies of the msi.dll and InstallerLocation
# that the tests change and restore.
#
# Usage: prefix_setup.sh   (WINEPREFIX, QMB_E2E_WINEARCH, QMB_E2E_FLAVOUR and
#                           QMB_WINE_LOADER from ctest)
set -euo pipefail
: "${WINEPREFIX:?}"
case "$WINEPREFIX" in
  /*) ;;
  *) echo "WINEPREFIX must be an absolute path: $WINEPREFIX" >&2; exit 1 ;;
esac
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
export LANG=C.UTF-8
unset LC_ALL LC_MESSAGES LANGUAGE

if [[ -d "$WINEPREFIX" ]]; then
  wineserver -k 2>/dev/null || true
  rm -rf "$WINEPREFIX"
fi
mkdir -p "$(dirname "$WINEPREFIX")"

# Wine's programs are asked as the exe's flavour sees the machine: the
# 64-bit flavour's through the 64-bit loader.
loader="${QMB_WINE_LOADER:-wine}"
if [[ "${QMB_E2E_FLAVOUR:-i586}" == amd64 ]]; then
  view=/reg:64
else
  view=/reg:32
fi

start=$SECONDS
arch="${QMB_E2E_WINEARCH:-}"
if [[ -n "$arch" ]]; then
  WINEARCH="$arch" "$loader" wineboot -i
else
  "$loader" wineboot -i
fi
wineserver -w
# The persistent server must not hold ctest's output pipes open, or ctest
# would wait for it.
wineserver -p </dev/null >/dev/null 2>&1
echo "prefix booted in $((SECONDS - start)) s: $WINEPREFIX ($(grep -m1 -o '#arch=.*' "$WINEPREFIX/system.reg" || echo 'arch unknown'))"

state="$WINEPREFIX/qmb-e2e"
mkdir -p "$state"

winvar() { "$loader" cmd /c "echo %$1%" 2>/dev/null | tr -d '\r'; }
unix() { readlink -f "$("$loader" winepath -u "$1" 2>/dev/null | tr -d '\r')"; }

user_dir_win="$(winvar USERPROFILE)"
program_files_win="$(winvar ProgramFiles)"
common_files_win="$(winvar CommonProgramFiles)"
user_dir="$(unix "$user_dir_win")"
program_files="$(unix "$program_files_win")"
common_files="$(unix "$common_files_win")"
# The folder the exe sees as its system folder: for a 32-bit process in a
# 64-bit prefix, syswow64.
if [[ "$view" == /reg:32 && -d "$WINEPREFIX/drive_c/windows/syswow64" ]]; then
  system32="$WINEPREFIX/drive_c/windows/syswow64"
else
  system32="$WINEPREFIX/drive_c/windows/system32"
fi
installer_location="$("$loader" reg query 'HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Installer' /v InstallerLocation $view 2>/dev/null |
  tr -d '\r' | sed -n -E 's/^    InstallerLocation    REG_SZ    //p')"

for name in user_dir program_files common_files system32 installer_location; do
  if [[ -z "${!name}" ]]; then
    echo "could not determine $name of the new prefix" >&2
    exit 1
  fi
done
[[ -d "$user_dir/AppData/LocalLow" ]] || { echo "no LocalLow folder under $user_dir" >&2; exit 1; }
cp "$system32/msi.dll" "$state/msi.dll"

# Relay tracing, when a test turns it on, is limited to the message boxes.
"$loader" reg add 'HKCU\Software\Wine\Debug' /v RelayInclude /d 'user32.MessageBoxA;user32.MessageBoxW' /f >/dev/null

{
  printf 'QMB_USER_DIR=%q\n' "$user_dir"
  printf 'QMB_USER_DIR_WIN=%q\n' "$user_dir_win"
  printf 'QMB_LOCALLOW=%q\n' "$user_dir/AppData/LocalLow"
  printf 'QMB_PROGRAM_FILES=%q\n' "$program_files"
  printf 'QMB_PROGRAM_FILES_WIN=%q\n' "$program_files_win"
  printf 'QMB_COMMON_FILES=%q\n' "$common_files"
  printf 'QMB_COMMON_FILES_WIN=%q\n' "$common_files_win"
  printf 'QMB_SYSTEM32_DIR=%q\n' "$system32"
  printf 'QMB_INSTALLER_LOCATION=%q\n' "$installer_location"
} >"$state/state.sh"
cat "$state/state.sh"
echo "prefix ready in $((SECONDS - start)) s"
