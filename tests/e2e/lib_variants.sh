# Helpers of the end-to-end tests that change the platform around the exe:
# the Windows version and library load order per exe, the Windows-side
# environment, shell folders, relay traces of started processes, and the
# recording stand-in for msiexec. Sourced after lib.sh, by scripts that get
# QMB_E2E_PROGRAMS_DIR (the folder of tests/e2e/programs) from ctest.
#
# Every change made through these helpers is undone when the script ends,
# however it ends: qmb_variants_init replaces lib.sh's exit trap by one that
# runs the registered undo steps, newest first, and then resets the machine.

: "${QMB_E2E_PROGRAMS_DIR:?QMB_E2E_PROGRAMS_DIR must name the folder of the end-to-end test programs}"

QMB_APP_DEFAULTS='HKCU\Software\Wine\AppDefaults'
QMB_USER_SHELL_FOLDERS='HKCU\Software\Microsoft\Windows\CurrentVersion\Explorer\User Shell Folders'
QMB_WINE_DEBUG_KEY='HKCU\Software\Wine\Debug'
QMB_LOCALLOW_VALUE='{A520A1A4-1780-4FF6-BD18-167343C5AF16}'
QMB_RECORDER_DIR_WIN='C:\qmb-recorder'
QMB_UNDO=()

# qmb_on_exit COMMAND...: one undo step (a command and its arguments); a
# step registered already is not registered again.
qmb_on_exit() {
  local quoted step
  printf -v quoted '%q ' "$@"
  for step in "${QMB_UNDO[@]}"; do [[ "$step" == "$quoted" ]] && return 0; done
  QMB_UNDO+=("$quoted")
}

qmb_variants_cleanup() {
  local i
  for ((i = ${#QMB_UNDO[@]} - 1; i >= 0; i--)); do
    eval "${QMB_UNDO[$i]}" || true
  done
  QMB_UNDO=()
  qmb_reset_machine
}

# qmb_variants_init EXE: qmb_init with the undo steps in the exit trap.
qmb_variants_init() {
  qmb_init "$1"
  trap qmb_variants_cleanup EXIT
  trap 'exit 130' INT TERM HUP
}

# ------------------------------------------------------------------ wine settings per exe

# qmb_set_windows_version EXE_NAME VERSION (winxp, win2003, vista, win7, ...)
qmb_set_windows_version() {
  qmb_wine reg add "$QMB_APP_DEFAULTS\\$1" /v Version /d "$2" /f >/dev/null
  [[ "$1" == "${QMB_EXE_NAME:-}" ]] || qmb_on_exit qmb_delete_app_defaults "$1"
}

# qmb_set_dll_overrides EXE_NAME ORDER LIBRARY...: e.g. native,builtin version msi
qmb_set_dll_overrides() {
  local exe_name="$1" order="$2" name
  shift 2
  for name in "$@"; do
    qmb_wine reg add "$QMB_APP_DEFAULTS\\$exe_name\\DllOverrides" /v "$name" /d "$order" /f >/dev/null
  done
  [[ "$exe_name" == "${QMB_EXE_NAME:-}" ]] || qmb_on_exit qmb_delete_app_defaults "$exe_name"
}

qmb_delete_app_defaults() { qmb_wine reg delete "$QMB_APP_DEFAULTS\\$1" /f >/dev/null 2>&1 || true; }

# ------------------------------------------------------------------ registry values kept and restored

# qmb_save_value KEY NAME [REG_VIEW_ARGS...]: registers the restoration of a
# value as it stands now (deleted again when it did not exist).
qmb_save_value() {
  local key="$1" name="$2"
  shift 2
  local line type data
  line="$(qmb_wine reg query "$key" /v "$name" "$@" 2>/dev/null | tr -d '\r' |
    grep -E "^    $(printf '%s' "$name" | sed 's/[][\.*^${}]/\\&/g')    REG_" | head -1 || true)"
  if [[ -z "$line" ]]; then
    qmb_on_exit qmb_restore_value "$key" "$name" "" "" "$@"
    return
  fi
  type="$(printf '%s' "$line" | sed -E 's/^    .*    (REG_[A-Z_]+)    ?.*$/\1/')"
  data="$(printf '%s' "$line" | sed -E 's/^    .*    REG_[A-Z_]+    ?//')"
  qmb_on_exit qmb_restore_value "$key" "$name" "$type" "$data" "$@"
}

# qmb_restore_value KEY NAME TYPE DATA [REG_VIEW_ARGS...]: an empty TYPE deletes.
qmb_restore_value() {
  local key="$1" name="$2" type="$3" data="$4"
  shift 4
  if [[ -z "$type" ]]; then
    qmb_wine reg delete "$key" /v "$name" "$@" /f >/dev/null 2>&1 || true
  else
    qmb_wine reg add "$key" /v "$name" /t "$type" /d "$data" "$@" /f >/dev/null
  fi
}

# qmb_redirect_shell_folder VALUE_NAME WINDOWS_PATH: points one per-user
# shell folder (a value of "User Shell Folders", such as AppData or the
# LocalLow known folder's identifier) elsewhere, creating the folder; the
# original is restored at the end.
qmb_redirect_shell_folder() {
  qmb_save_value "$QMB_USER_SHELL_FOLDERS" "$1"
  qmb_save_value "${QMB_USER_SHELL_FOLDERS/User Shell Folders/Shell Folders}" "$1"
  mkdir -p "$(qmb_unixpath "$2")"
  qmb_wine reg add "$QMB_USER_SHELL_FOLDERS" /v "$1" /t REG_EXPAND_SZ /d "$2" /f >/dev/null
}

# ------------------------------------------------------------------ relay traces of started processes

# qmb_trace_process_starts: relay traces (QMB_TRACE_BOXES=1 or
# QMB_RUN_WINEDEBUG=-all,+relay) also show every CreateProcessA and
# CreateThread call, besides the message boxes.
qmb_trace_process_starts() {
  qmb_save_value "$QMB_WINE_DEBUG_KEY" RelayInclude
  qmb_wine reg add "$QMB_WINE_DEBUG_KEY" /v RelayInclude /f >/dev/null \
    /d 'user32.MessageBoxA;user32.MessageBoxW;kernel32.CreateProcessA;kernelbase.CreateProcessA;kernel32.CreateThread;kernelbase.CreateThread'
}

# The command lines that the last traced run's processes passed to
# CreateProcessA, one per line, as "<thread id>|<command line>" (Wine's
# escapes of backslashes and double quotes undone; lines over about 290
# characters are cut by the trace).
qmb_process_starts() {
  sed -n -E 's/^([0-9a-f]+):Call (KERNEL32|KERNELBASE|kernel32|kernelbase)\.CreateProcessA\([0-9a-f]+,[0-9a-f]+ "(.*)",[0-9a-f]+,[0-9a-f]+,[0-9a-f]+,[0-9a-f]+,[0-9a-f]+,[0-9a-f]+,[0-9a-f]+,[0-9a-f]+\) ret=[0-9a-f]+$/\1|\3/p' \
    "$QMB_WORK/run.err" | sed -e 's/\\\\/\x01/g' -e 's/\\"/"/g' -e 's/\x01/\\/g'
}

# The values that the last traced run's CreateProcessA calls returned, one
# per line, as "<thread id>|<return value>" (hexadecimal, as traced). A call
# whose process ended before it returned has no line.
qmb_process_start_results() {
  sed -n -E 's/^([0-9a-f]+):Ret  (KERNEL32|KERNELBASE|kernel32|kernelbase)\.CreateProcessA\(\) retval=([0-9a-f]+) ret=[0-9a-f]+$/\1|\3/p' \
    "$QMB_WORK/run.err"
}

# The CreateThread calls of the last traced run, one per line, as
# "<calling thread id>|<start address>|<parameter>" (hexadecimal, as traced).
qmb_thread_creations() {
  sed -n -E 's/^([0-9a-f]+):Call (KERNEL32|KERNELBASE|kernel32|kernelbase)\.CreateThread\([0-9a-f]+,[0-9a-f]+,([0-9a-f]+),([0-9a-f]+),[0-9a-f]+,[0-9a-f]+\) ret=[0-9a-f]+$/\1|\3|\4/p' \
    "$QMB_WORK/run.err"
}

# The thread that showed each message box of the last traced run, one per line.
qmb_message_box_threads() {
  sed -n -E 's/^([0-9a-f]+):Call user32\.MessageBox[AW]\(.*$/\1/p' "$QMB_WORK/run.err"
}

# ------------------------------------------------------------------ runs with a changed Windows environment

# qmb_run_winenv EXE [ARGUMENTS]: qmb_run, with the launcher started by
# qmb-winenv.exe, which first applies QMB_WINENV_SET_<NAME>=<value> and
# QMB_WINENV_UNSET=<NAME>,... from the caller's environment to the Windows
# environment only (Wine itself reads TMPDIR and TZ, so they are not set for
# it). QMB_RUN_WINEDEBUG chooses the run's WINEDEBUG (default -all).
qmb_run_winenv() {
  local exe="$1" args="${2-}"
  local cmdline launcher
  cmdline="\"$(qmb_winpath "$exe")\""
  [[ -n "$args" ]] && cmdline+=" $args"
  launcher="\"$(qmb_winpath "$QMB_TOOLS_DIR/qmb-launch.exe")\""
  mkdir -p "$QMB_WORK"
  RUN_EXIT="" RUN_EXIT_SIGNED=""
  local rc=0
  QMB_WINENV_CMDLINE="$launcher" QMB_LAUNCH_CMDLINE="$cmdline" WINEDEBUG="${QMB_RUN_WINEDEBUG:--all}" \
    qmb_wine "$QMB_E2E_PROGRAMS_DIR/qmb-winenv.exe" >"$QMB_WORK/run.out" 2>"$QMB_WORK/run.err" || rc=$?
  local line
  line="$(grep -a '^exit=' "$QMB_WORK/run.out" | tr -d '\r' | tail -1 || true)"
  if ((rc != 0)) || [[ ! "$line" =~ ^exit=([0-9]+)\ signed=(-?[0-9]+)$ ]]; then
    qmb_log "could not run: $cmdline"
    qmb_log "qmb-winenv status $rc; its output:"
    sed 's/^/      /' "$QMB_WORK/run.out"
    return 1
  fi
  RUN_EXIT="${BASH_REMATCH[1]}"
  RUN_EXIT_SIGNED="${BASH_REMATCH[2]}"
  qmb_log "ran: $cmdline -> exit=$RUN_EXIT signed=$RUN_EXIT_SIGNED"
}

# ------------------------------------------------------------------ the recording stand-in for msiexec

# qmb_use_recorder [WINDOWS_FOLDER]: msiexec-recorder.exe as msiexec.exe in
# the folder (default C:\qmb-recorder), and InstallerLocation pointing there.
# Runs then record into $QMB_RECORD (QMB_RECORD_FILE is exported), wait for
# the ready event for up to 30 s and list the staging directory of
# QMB_RECORD_LIST_DIR when the caller sets it.
qmb_use_recorder() {
  local folder_win="${1:-$QMB_RECORDER_DIR_WIN}"
  local folder
  folder="$(qmb_unixpath "$folder_win")"
  mkdir -p "$folder"
  cp "$QMB_TOOLS_DIR/msiexec-recorder.exe" "$folder/msiexec.exe"
  qmb_on_exit rm -rf "$folder"
  qmb_reg_add "$QMB_INSTALLER_KEY" /v InstallerLocation /t REG_SZ /d "$folder_win"
  QMB_RECORD="$QMB_WORK/record.txt"
  export QMB_RECORD_FILE QMB_RECORD_WAIT_EVENT=1 QMB_RECORD_WAIT_MS=30000
  QMB_RECORD_FILE="$(qmb_winpath "$QMB_WORK")\\record.txt"
}

# The first line of the record: the command line the stand-in was started with.
qmb_recorded_command_line() { sed -n 1p "$QMB_RECORD" 2>/dev/null | tr -d '\r'; }

# How many times the stand-in was started.
qmb_recorded_runs() { grep -c '^"' "$QMB_RECORD" 2>/dev/null || true; }

# qmb_payload_listing NAME...: the lines the stand-in writes for these
# payload files when each is complete, sorted.
qmb_payload_listing() {
  local name
  for name in "$@"; do
    printf 'file=%s %s\n' "$name" "$(stat -c %s "$QMB_PAYLOAD_DIR/$name")"
  done | sort
}

# The files the stand-in found in the staging directory, sorted.
qmb_recorded_listing() { grep -a '^file' "$QMB_RECORD" 2>/dev/null | tr -d '\r' | sort || true; }

QMB_CABINET_NAMES=(ss160390.cab st160390.cab sj160390.cab sp160390.cab sz160390.cab sb160390.cab sr160390.cab)

# The Windows path of a per-user folder as the shell knows it now (from the
# environment of a Windows command shell): APPDATA, LOCALAPPDATA, TEMP.
qmb_windows_variable() { qmb_wine cmd /c "echo %$1%" 2>/dev/null | tr -d '\r'; }
