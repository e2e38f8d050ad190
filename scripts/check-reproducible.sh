#!/usr/bin/env bash
# Checks that the product builds reproducibly: for each product preset that
# exists, the exe of build/<preset> (built here when need be) is compared
# byte for byte with a second build of the same sources and payload, made
# from a copy of the source tree in another folder (build/repro/<preset>),
# with another umask, locale and time zone, later, and as another user
# (nobody) when this runs as root. The sample payload and the transforms the
# build makes are compared too. A difference names the file, its first
# differing offset and the part of the image it lies in (compare_exe.py).
#
#   scripts/check-reproducible.sh [PRESET...]
#
# Exit 0 when every build is the same, 1 when one differs, 2 when a build
# could not be made. SOURCE_DATE_EPOCH, when set, goes to both builds.
set -euo pipefail
cd "$(dirname "$0")/.."
root="$PWD"

# The product's flavours: those of them that have a preset are checked.
flavours=(windows windows-amd64)
if [ $# -gt 0 ]; then
  presets=("$@")
else
  mapfile -t known < <(python3 -c 'import json, sys
print("\n".join(p["name"] for p in json.load(open(sys.argv[1]))["configurePresets"]))' CMakePresets.json)
  presets=()
  for f in "${flavours[@]}"; do
    printf '%s\n' "${known[@]}" | grep -qx "$f" && presets+=("$f")
  done
fi

# The second build's surroundings differ from this shell's.
umask_b=0077
[ "$(umask)" = 0077 ] && umask_b=0022
locale_b=C.UTF-8
[ "${LC_ALL:-${LANG:-}}" = C.UTF-8 ] && locale_b=C
tz_b=QMB-14  # 14 hours east of UTC
as_user=()
user_b="$(id -un)"
if [ "$(id -u)" -eq 0 ]; then
  as_user=(setpriv --reuid=65534 --regid=65534 --clear-groups)
  user_b="$(getent passwd 65534 | cut -d: -f1)"
  user_b="${user_b:-uid 65534}"
fi

# build_log LOG COMMAND...: runs COMMAND with its output in LOG; on failure
# shows LOG's last lines and the command, and ends the check with 2.
build_log() {
  local log="$1"
  shift
  if ! "$@" >>"$log" 2>&1; then
    tail -n 25 "$log" >&2
    echo "reproducible: FAILED: $* (the whole output is in $log)" >&2
    exit 2
  fi
}

status=0
for preset in "${presets[@]}"; do
  first="build/$preset"
  second="build/repro/$preset"
  mkdir -p build/repro
  rm -rf "$second"
  mkdir -p "$second/home"
  log="$second/first-build.log"
  build_log "$log" cmake --preset "$preset"
  if [ -n "$(sed -n 's/^QMB_SIGN_PKCS12:[A-Z]*=//p' "$first/CMakeCache.txt")" ]; then
    echo "reproducible: $first signs its exe; configure it without QMB_SIGN_PKCS12 to compare" >&2
    exit 2
  fi
  payload="$(sed -n 's/^PAYLOAD_DIR:[A-Z]*=//p' "$first/CMakeCache.txt")"
  build_log "$log" cmake --build --preset "$preset" --target qmb-setup sample_payload -j2

  # The copy: the source tree as it is (changes not committed included),
  # without the build folder and git's data; no git is needed.
  mkdir "$second/src"
  tar -C "$root" --exclude=./build --exclude=./.git -cf - . | tar -C "$second/src" -xf -
  if [ ${#as_user[@]} -gt 0 ]; then
    chown -R 65534:65534 "$second"
    if ! "${as_user[@]}" test -w "$second/src"; then
      echo "reproducible: $user_b cannot reach $second (a folder above it is closed); building as $(id -un)"
      chown -R "$(id -u):$(id -g)" "$second"
      as_user=()
      user_b="$(id -un)"
    fi
  fi
  echo "reproducible: $preset: building again in $second/src as $user_b, umask $umask_b, LC_ALL=$locale_b," \
       "TZ=$tz_b${SOURCE_DATE_EPOCH:+, SOURCE_DATE_EPOCH=$SOURCE_DATE_EPOCH} (log: $second/build.log)"
  log="$root/$second/build.log"
  (
    umask "$umask_b"
    cd "$second/src"
    export HOME="$root/$second/home" USER="$user_b" LOGNAME="$user_b" LC_ALL="$locale_b" LANG="$locale_b" TZ="$tz_b"
    build_log "$log" "${as_user[@]}" cmake --preset "$preset" -DPAYLOAD_DIR="$payload"
    build_log "$log" "${as_user[@]}" cmake --build --preset "$preset" --target qmb-setup sample_payload -j2
  ) || exit $?
  rc=0  # compare_exe.py's status (pipefail)
  python3 scripts/compare_exe.py builds "$first" "$second/src/build/$preset" | sed "s|^|reproducible: $preset: |" ||
    rc=$?
  [ "$rc" -eq 0 ] || status="$rc"
done
[ ${#presets[@]} -gt 0 ] || { echo "reproducible: no product preset to check" >&2; exit 2; }
exit "$status"
