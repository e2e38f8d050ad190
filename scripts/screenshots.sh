#!/usr/bin/env bash
# Shows the exe's two message boxes for real under Xvfb and saves them as
# PNG files: the Windows Installer version message (a stand-in msi.dll older
# than 2.0.2600.0) and the fatal extraction message (a file standing where
# the staging folder's parent must be created).
#
# Usage: scripts/screenshots.sh [OUTPUT_FOLDER]   (default docs/images)
# Needs a built windows preset (cmake --build --preset windows), or the build
# folder in QMB_BUILD_DIR.
set -euo pipefail
cd "$(dirname "$0")/.."
root="$PWD"
out="$(realpath -m "${1:-docs/images}")"
build="$(realpath -m "${QMB_BUILD_DIR:-$root/build/windows}")"
[[ -f "$build/qmb-setup.exe" ]] || { echo "build the windows preset first: $build/qmb-setup.exe is missing" >&2; exit 1; }

export WINEPREFIX="$build/screenshots-wineprefix"
export QMB_E2E_WINEARCH=win32
export QMB_TOOLS_DIR="$build/tools"
export QMB_PAYLOAD_DIR="$build/sample-payload"
if [[ -z "${QMB_SCREENSHOTS_IN_XVFB:-}" ]]; then
  bash tests/e2e/prefix_setup.sh >/dev/null
  # The set-up started its server without a display; the boxes need one.
  wineserver -k 2>/dev/null || true
  mkdir -p "$out"
  status=0
  QMB_SCREENSHOTS_IN_XVFB=1 xvfb-run -a -s '-screen 0 800x600x24' "$0" "$out" || status=$?
  wineserver -k 2>/dev/null || true
  exit $status
fi

display="${DISPLAY:?xvfb-run sets DISPLAY}"
source tests/e2e/lib.sh
export DISPLAY="$display"
qmb_init "$build/qmb-setup.exe"

# Starts the exe, waits for its message box (a window of the exe's class),
# saves it and dismisses it with Return.
capture() {
  local name="$1" wid="" i
  wine "$build/qmb-setup.exe" >/dev/null 2>&1 &
  local pid=$!
  for ((i = 0; i < 100; i++)); do
    wid="$(xdotool search --onlyvisible --class "^qmb-setup\.exe$" 2>/dev/null | while read -r w; do [[ "$(xwininfo -id "$w" | sed -n "s/.*Width: //p")" -gt 1 ]] && echo "$w"; done | head -1 || true)"
    [[ -n "$wid" ]] && break
    sleep 0.2
  done
  if [[ -z "$wid" ]]; then
    echo "no message box appeared for $name; windows:" >&2
    xwininfo -root -tree >&2 || true
    kill "$pid" 2>/dev/null || true
    return 1
  fi
  sleep 0.5  # let it paint
  import -window "$wid" "$out/$name.png"
  xdotool key --window "$wid" Return
  wait "$pid" || true
  echo "saved $out/$name.png"
}

# The version message: an older msi.dll for this exe only.
cp "$QMB_TOOLS_DIR/oldmsi.dll" "$QMB_SYSTEM32_DIR/msi.dll"
wine reg add "HKCU\\Software\\Wine\\AppDefaults\\$QMB_EXE_NAME\\DllOverrides" /v msi /d native /f >/dev/null
capture version-message
qmb_reset_machine

# The fatal extraction message: the package file cannot be created.
printf 'a file where the Qor folder would go\n' >"$QMB_MAKER_DIR"
capture extract-failure
