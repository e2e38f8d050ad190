#!/usr/bin/env bash
# The demo: builds qmb-setup.exe with the sample payload, runs it for real
# under Wine (with Wine's own msiexec) in a private prefix, and prints what
# the run did.
#
# Usage: scripts/demo.sh [ARGUMENTS...]   (default: /s, the silent run)
# The prefix stays in build/demo/wineprefix for a look around afterwards.
set -euo pipefail
cd "$(dirname "$0")/.."
root="$PWD"
scripts/install-deps.sh
if ! wine_error="$(wine --version 2>&1)"; then
  echo "demo: Wine cannot run on this machine ($wine_error)." >&2
  echo "demo: Debian's Wine runs 32-bit x86 programs, natively or through qemu-i386; scripts/install-deps.sh" \
       "could not make them run here (its output above says why)." >&2
  exit 1
fi
cmake --preset windows >/dev/null
cmake --build --preset windows

build="$root/build/windows"
export WINEPREFIX="$root/build/demo/wineprefix"
export QMB_E2E_WINEARCH=win32
export QMB_TOOLS_DIR="$build/tools"
export QMB_PAYLOAD_DIR="$build/sample-payload"
echo "== preparing a fresh Wine prefix in $WINEPREFIX"
bash tests/e2e/prefix_setup.sh >/dev/null
source tests/e2e/lib.sh
qmb_init "$build/qmb-setup.exe"
trap 'wineserver -k 2>/dev/null || true' EXIT  # keep what the run left, for a look around

args="${*:-/s}"
echo "== running: qmb-setup.exe $args"
qmb_run "$QMB_EXE" "$args" >/dev/null || { echo "the exe could not be run"; exit 1; }

meaning() {
  case "$1" in
    0) echo "success" ;;
    1) echo "the installer could not be started, or the exe carries no package" ;;
    -2) echo "the Windows Installer is too old" ;;
    -3) echo "the installer's location is not registered" ;;
    1602) echo "the user cancelled the installation" ;;
    1603) echo "the installation failed" ;;
    1618) echo "another installation is in progress" ;;
    1639) echo "the command line does not fit" ;;
    3010) echo "success; a restart is needed" ;;
    1641) echo "success; the installer started a restart" ;;
    *) echo "a Windows error code or an installer code" ;;
  esac
}

value() { qmb_reg_value "$1" "$2" 2>/dev/null || echo "(none)"; }
listing() {
  if [[ -d "$1" ]]; then
    (cd "$1" && find . -type f | sed 's|^\./||' | sort | sed 's/^/      /')
  else
    echo "      (absent)"
  fi
}

echo
echo "== summary"
echo "exit code: $RUN_EXIT_SIGNED ($(meaning "$RUN_EXIT_SIGNED"))"
echo
echo "installed:"
echo "  kit folder $QMB_KIT_DIR:"
listing "$QMB_KIT_DIR"
echo "  registry:"
echo "    VeskHome (development kit) = $(value "$QMB_KIT_KEY" VeskHome)"
echo "    the kit's language and greeting = $(value "$QMB_KIT_KEY" Language), $(value "$QMB_KIT_KEY" Greeting)"
echo "    CabWait (how the package's wait for the cabinets ended) = $(value "$QMB_SAMPLE_KEY" CabWait)" \
  "(in $(value "$QMB_SAMPLE_KEY" CabWaitStep))"
echo "  runtime follow-up (zlp.msi):"
if qmb_reg_key_exists "$QMB_RUNTIME_KEY"; then
  echo "    runtime key present: InstallDir = $(value "$QMB_RUNTIME_KEY" InstallDir), Language = $(value "$QMB_RUNTIME_KEY" Language)"
else
  echo "    not installed (runtime key absent)"
fi
echo "  database follow-up (veskdb.msi; needs the database feature, e.g. ADDLOCAL=ALL):"
if qmb_reg_key_exists "$QMB_DATABASE_KEY"; then
  echo "    installed: InstallDir = $(value "$QMB_DATABASE_KEY" InstallDir)"
else
  echo "    not installed"
fi
echo
echo "updater phase:"
echo "  AUVersion = $(value 'HKLM\SOFTWARE\Morvanta\Auto Update' AUVersion)"
echo "  registration tool ran as: $(value "$QMB_SAMPLE_KEY" RegistrationCommandLine)"
echo "  updater folder $QMB_MAKER_DIR/Vesk/AU:"
listing "$QMB_MAKER_DIR/Vesk/AU"
echo
echo "left on disk by the bootstrapper:"
echo "  staging directory $QMB_STAGING_DIR: $([[ -e "$QMB_STAGING_DIR" ]] && echo present || echo 'removed')"
echo "  under $QMB_MAKER_DIR:"
listing "$QMB_MAKER_DIR"
