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
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"

# The packages are there: last, 32-bit programs must run, for Wine.
finish() { "$here/enable-i386.sh"; exit 0; }

packages=(
  cmake ninja-build g++ googletest libgtest-dev libgmock-dev clang libclang-rt-14-dev python3
  g++-mingw-w64-i686 binutils-mingw-w64-i686 mingw-w64-i686-dev
  g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64 mingw-w64-x86-64-dev
  wine wine32:i386 wine64 wixl msitools gcab
  xvfb xauth xdotool imagemagick nsis osslsigncode openssl
)

missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && finish

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $sudo dpkg --add-architecture i386
fi

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
update_log="$work/update.log"
install_log="$work/install.log"
attempts="${QMB_APT_UPDATE_ATTEMPTS:-3}"
pause="${QMB_APT_UPDATE_PAUSE:-20}"

# apt-get update exits with 0 after any failure to fetch ("Temporary failure
# resolving", a mirror in mid-sync), reporting it as a warning; with
# --error-on=any (apt 2.6) it fails, so that the update is retried.
for ((i = 1; ; i++)); do
  if $sudo apt-get update -qq --error-on=any >"$update_log" 2>&1; then
    break
  fi
  cat "$update_log" >&2
  if [ "$i" -ge "$attempts" ]; then
    echo "install-deps: apt-get update still fails after $attempts attempts; going on with the indexes apt has" >&2
    break
  fi
  echo "install-deps: apt-get update failed (attempt $i of $attempts); retrying in ${pause}s" >&2
  sleep "$pause"
done

# python3 runs the decisions below; a minimal system may not have it yet.
if ! command -v python3 >/dev/null 2>&1; then
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends python3
fi

failed="$(python3 "$here/apt_index.py" failed "$update_log")"
if [ -n "$failed" ]; then
  echo "install-deps: these package indexes could not be fetched:" >&2
  sed 's/^/  /' <<<"$failed" >&2
fi

install() {
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "$@" "${missing[@]}"
}

if install >"$install_log" 2>&1; then
  cat "$install_log"
  finish
fi
cat "$install_log" >&2

if ! python3 "$here/apt_index.py" should-retry "$update_log" "$install_log"; then
  echo "install-deps: FAILED: apt-get install of ${missing[*]} failed (output above)." >&2
  [ -n "$failed" ] && echo "install-deps: a package index was missing (above); a later retry may pass." >&2
  exit 1
fi

sources="$work/sources"
left_out="$(python3 "$here/apt_index.py" write-sources "$update_log" /etc/apt "$sources")"
if [ -z "$left_out" ]; then
  echo "install-deps: FAILED: apt-get install of ${missing[*]} failed (output above), and no entry of the" \
       "sources names the failed suites (a mirror+file: source, or a failure at a URL of no entry), so they" \
       "cannot be left out. The mirror may be in mid-sync; a later retry may pass." >&2
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
if install -o "Dir::Etc::SourceList=$sources/sources.list" \
           -o "Dir::Etc::SourceParts=$sources/sources.list.d" \
           -o "Dir::Cache::pkgcache=" -o "Dir::Cache::srcpkgcache=" >"$install_log" 2>&1; then
  cat "$install_log"
  echo "install-deps: WARNING: packages were installed without: $(tr '\n' ' ' <<<"$left_out")" >&2
  finish
fi
cat "$install_log" >&2
echo "install-deps: FAILED: apt-get install of ${missing[*]} failed, also with the suites" \
     "$(tr '\n' ' ' <<<"$left_out")left out (output above). The mirror may be in mid-sync;" \
     "a later retry may pass." >&2
exit 1
