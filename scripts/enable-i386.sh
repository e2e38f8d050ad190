#!/usr/bin/env bash
# Makes sure 32-bit x86 programs run here, which Debian's Wine needs (as root).
#
# A 32-bit program is run to find out. Where the kernel refuses it, qemu's
# user-mode emulator (qemu-user 10 or later, from the backports suite of the
# machine's release, through a temporary sources list: nothing in /etc/apt
# changes) is registered with binfmt_misc for i386 ELF programs, with the F
# flag. An existing working registration is kept, one whose interpreter is
# gone is replaced. The registration lasts until the machine restarts; run
# this again then (install-deps.sh does). The decisions are in
# i386_programs.py.
#
# QMB_FORCE_EMULATOR=1 registers the emulator even where the kernel runs
# 32-bit programs itself, to try the emulated path on such a machine.
#
# It says in one line how 32-bit programs run; the package manager's output
# goes to build/setup.log (setup_log.sh).
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
# shellcheck disable=SC2034  # read by setup_log.sh
root="$(dirname "$here")"
source "$here/setup_log.sh"
setup_log_open
decisions="$here/i386_programs.py"
binfmt=/proc/sys/fs/binfmt_misc
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
python3 "$decisions" probe "$work/probe"

decision() {
  local rc=0
  "$work/probe" 2>"$work/probe.err" || rc=$?
  if [ "${QMB_FORCE_EMULATOR:-0}" = 1 ] && [ ! -e "$binfmt/qemu-i386" ]; then
    echo "register"
  else
    python3 "$decisions" decide "$rc" "$work/probe.err" "$binfmt"
  fi
}

qemu_ok() {
  local interp="$1"
  [ -x "$interp" ] && "$interp" --version 2>/dev/null | grep -Eq 'version ([1-9][0-9]+)\.'
}

install_qemu() {
  local codename src
  codename="$(. /etc/os-release && echo "${VERSION_CODENAME:?}")"
  src="$work/sources"
  mkdir -p "$src/sources.list.d"
  if [ -f /etc/apt/sources.list ]; then cp /etc/apt/sources.list "$src/"; else : >"$src/sources.list"; fi
  find /etc/apt/sources.list.d -maxdepth 1 \( -name '*.list' -o -name '*.sources' \) \
       -exec cp {} "$src/sources.list.d/" \; 2>/dev/null || true
  python3 "$decisions" backports-source /etc/apt "$codename" "$src/sources.list.d/qmb-$codename-backports.sources"
  local opts=(-o "Dir::Etc::SourceList=$src/sources.list" -o "Dir::Etc::SourceParts=$src/sources.list.d"
              -o "Dir::Cache::pkgcache=" -o "Dir::Cache::srcpkgcache=")
  local update=(${sudo:+"$sudo"} apt-get "${opts[@]}" update -qq)
  local install=(${sudo:+"$sudo"} env DEBIAN_FRONTEND=noninteractive apt-get "${opts[@]}" install -y -qq
                 --no-install-recommends -t "$codename-backports" qemu-user)
  local i rc
  echo "install-deps: the kernel does not run 32-bit x86 programs; installing qemu-user from" \
       "$codename-backports (output: $SETUP_LOG_SHOWN)"
  for ((i = 1; i <= 3; i++)); do
    rc=0
    logged "$work/update.log" "${update[@]}" || rc=$?
    if [ "$rc" -ne 0 ]; then
      failing=("${update[@]}")
    else
      logged "$work/install.log" "${install[@]}" && return 0
      rc=$?
      failing=("${install[@]}")
    fi
    [ "$i" -lt 3 ] && sleep 20
  done
  failed "$rc" "${failing[@]}"
  echo "install-deps: qemu-user could not be installed from $codename-backports (3 attempts)." >&2
  return 1
}

interp=/usr/bin/qemu-i386
for round in 1 2 3; do
  read -r verb name <<<"$(decision)"
  case "$verb" in
    native)
      echo "install-deps: 32-bit x86 programs run natively (the kernel runs them)"
      exit 0 ;;
    emulated)
      echo "install-deps: 32-bit x86 programs run through the emulator registered as $name (kept;" \
           "the registration lasts until the machine restarts)"
      exit 0 ;;
    remove)
      echo "install-deps: removing the binfmt_misc entry $name, whose interpreter does not run" >&2
      echo -1 | $sudo tee "$binfmt/$name" >/dev/null ;;
    register)
      qemu_ok "$interp" || install_qemu
      qemu_ok "$interp" || { echo "install-deps: FAILED: $interp is not qemu 10 or later" >&2; exit 1; }
      [ -e "$binfmt/register" ] || $sudo mount -t binfmt_misc binfmt_misc "$binfmt"
      python3 "$decisions" register-line "$interp" | $sudo tee "$binfmt/register" >/dev/null
      if [ "$(decision)" != "emulated qemu-i386" ]; then
        echo "install-deps: FAILED: 32-bit x86 programs still do not run after registering $interp" >&2
        cat "$work/probe.err" >&2
        exit 1
      fi
      why="the kernel does not run 32-bit x86 programs"
      [ "$round" = 1 ] && [ "${QMB_FORCE_EMULATOR:-0}" = 1 ] && why="QMB_FORCE_EMULATOR=1"
      echo "install-deps: $why; registered $("$interp" --version | head -1) ($interp) for 32-bit x86" \
           "programs with binfmt_misc, until the machine restarts"
      exit 0 ;;
    *) echo "install-deps: unexpected decision: $verb $name" >&2; exit 1 ;;
  esac
done
echo "install-deps: FAILED: could not make 32-bit x86 programs run" >&2
exit 1
