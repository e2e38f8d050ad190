#!/usr/bin/env bash
# Installs what the build, the tests and the demo need on Debian 12 (as root).
#
# A package index that cannot be fetched (a mirror in mid-sync, a name that
# does not resolve for a moment) does not stop the set-up: the update is
# retried, then the install goes on with what apt has; when that install fails
# for want of the index, it is tried once more with the failed suites left
# out, for that one command only (apt's -o options pointing at a temporary
# sources list; the machine's configuration is not touched), when the sources
# name them. The decisions are in apt_index.py.
#
# Then it makes sure that 32-bit x86 programs run, through qemu's user-mode
# emulator where the kernel refuses them (enable-i386.sh).
#
# The package manager's output goes to build/setup.log (setup_log.sh); the
# set-up itself says in a few lines what it found, what it installs, how
# 32-bit programs run, and on a failure the log's last lines and the
# command that failed. What needs the user's attention (package indexes
# that could not be fetched, suites left out) is always shown.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
# shellcheck disable=SC2034  # read by setup_log.sh
root="$(dirname "$here")"
source "$here/setup_log.sh"
setup_log_open

# The packages are there: last, 32-bit programs must run, for Wine.
finish() { "$here/enable-i386.sh"; exit 0; }

# say TEXT WORDS...: TEXT and the words, on lines of at most 110 characters,
# those after the first indented.
say() {
  { printf 'install-deps: %s' "$1"; shift; printf ' %s' "$@"; echo; } | fold -s -w 108 | sed 's/ *$//; 1!s/^/  /'
}

packages=(
  cmake ninja-build g++ googletest libgtest-dev libgmock-dev clang libclang-rt-14-dev python3
  g++-mingw-w64-i686 binutils-mingw-w64-i686 mingw-w64-i686-dev
  g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64 mingw-w64-x86-64-dev
  wine wine32:i386 wine64 wixl msitools gcab
  xvfb xauth xdotool imagemagick nsis osslsigncode openssl
)

missing=() present=()
for p in "${packages[@]}"; do
  if dpkg -s "$p" >/dev/null 2>&1; then present+=("$p"); else missing+=("$p"); fi
done
if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps: the ${#packages[@]} packages needed are installed already"
  finish
fi
if [ ${#present[@]} -eq 0 ]; then
  echo "install-deps: ${#packages[@]} packages needed, none installed yet"
else
  say "${#packages[@]} packages needed; ${#present[@]} installed already:" "${present[@]}"
fi
say "installing ${#missing[@]} (a few minutes; the package manager's output goes to $SETUP_LOG_SHOWN):" \
    "${missing[@]}"
started=$SECONDS

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  echo "install-deps: adding the i386 architecture to dpkg, for the 32-bit Wine (wine32:i386)"
  rc=0
  arch=(${sudo:+"$sudo"} dpkg --add-architecture i386)
  logged "$work/dpkg.log" "${arch[@]}" || rc=$?
  [ "$rc" -eq 0 ] || { failed "$rc" "${arch[@]}"; exit 1; }
fi

update_log="$work/update.log"
install_log="$work/install.log"
attempts="${QMB_APT_UPDATE_ATTEMPTS:-3}"
pause="${QMB_APT_UPDATE_PAUSE:-20}"

# apt-get update exits with 0 after any failure to fetch ("Temporary failure
# resolving", a mirror in mid-sync), reporting it as a warning; with
# --error-on=any (apt 2.6) it fails, so that the update is retried.
for ((i = 1; ; i++)); do
  if logged "$update_log" ${sudo:+"$sudo"} apt-get update -qq --error-on=any; then
    break
  fi
  why="$(grep -m1 -E '^[EW]: ' "$update_log" | cut -c1-150 || true)"
  if [ "$i" -ge "$attempts" ]; then
    echo "install-deps: apt-get update still fails after $attempts attempts (${why:-see the log}); going on" \
         "with the indexes apt has" >&2
    break
  fi
  echo "install-deps: apt-get update failed (attempt $i of $attempts: ${why:-see the log}); again in ${pause}s" >&2
  sleep "$pause"
done

# python3 runs the decisions below; a minimal system may not have it yet.
if ! command -v python3 >/dev/null 2>&1; then
  python=(${sudo:+"$sudo"} env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends python3)
  rc=0
  logged "$install_log" "${python[@]}" || rc=$?
  [ "$rc" -eq 0 ] || { failed "$rc" "${python[@]}"; exit 1; }
fi

failed="$(python3 "$here/apt_index.py" failed "$update_log")"
if [ -n "$failed" ]; then
  echo "install-deps: these package indexes could not be fetched:" >&2
  sed 's/^/  /' <<<"$failed" >&2
fi

# (env after sudo: sudo would drop the variable from its own environment)
install=(${sudo:+"$sudo"} env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends)
# installed: what the install did, in one line.
installed() {
  echo "install-deps: installed them in $((SECONDS - started)) s" \
       "($(python3 "$here/apt_index.py" set-up "$install_log") packages set up, with those they need)"
}

rc=0
logged "$install_log" "${install[@]}" "${missing[@]}" || rc=$?
if [ "$rc" -eq 0 ]; then
  installed
  finish
fi

if ! python3 "$here/apt_index.py" should-retry "$update_log" "$install_log"; then
  failed "$rc" "${install[@]}" "${missing[@]}"
  [ -n "$failed" ] && echo "install-deps: a package index was missing (above); a later retry may pass." >&2
  exit 1
fi

sources="$work/sources"
left_out="$(python3 "$here/apt_index.py" write-sources "$update_log" /etc/apt "$sources")"
if [ -z "$left_out" ]; then
  failed "$rc" "${install[@]}" "${missing[@]}"
  echo "install-deps: no entry of the sources names the failed suites (a mirror+file: source, or a failure" \
       "at a URL of no entry), so they cannot be left out. The mirror may be in mid-sync; a later retry may" \
       "pass." >&2
  exit 1
fi
cat >&2 <<EOF

################################################################################
install-deps: WARNING: the install failed for want of a package index, so it is
retried ONCE with these suites left out (for this install only; the machine's
sources are unchanged):
$(sed 's/^/    /' <<<"$left_out")
The packages installed now come WITHOUT those suites (for a security suite:
without its latest fixes). Once the mirror has synced, bring them up to date
with: apt-get update && apt-get upgrade
################################################################################

EOF
install+=(-o "Dir::Etc::SourceList=$sources/sources.list" -o "Dir::Etc::SourceParts=$sources/sources.list.d"
          -o "Dir::Cache::pkgcache=" -o "Dir::Cache::srcpkgcache=")
rc=0
logged "$install_log" "${install[@]}" "${missing[@]}" || rc=$?
if [ "$rc" -eq 0 ]; then
  installed
  echo "install-deps: WARNING: packages were installed without: $(tr '\n' ' ' <<<"$left_out")" >&2
  finish
fi
failed "$rc" "${install[@]}" "${missing[@]}"
echo "install-deps: the install failed also with the suites $(tr '\n' ' ' <<<"$left_out")left out. The mirror" \
     "may be in mid-sync; a later retry may pass." >&2
exit 1
