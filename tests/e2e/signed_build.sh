#!/usr/bin/env bash
# Fixture of e2e.signed_install: builds qmb-setup.exe signed, in a build
# folder of its own, with a code-signing certificate made here, and checks
# the result: the signature verifies against that certificate as the root,
# the resource section still starts on a page boundary and the checksum
# holds; a wrong password fails the build and leaves no exe; a change of the
# password's source signs the exe again; a PKCS#12 file with an empty
# password signs; scripts/verify-signed.sh finds the signed exe to be the
# exe its inputs build plus a signature, and not another build's; a signer
# that fails in a way of its own (a cut output) leaves neither the exe nor
# the partial output.
#
# Usage: signed_build.sh SOURCE_DIR BUILD_DIR PAYLOAD_DIR TOOLS_WINEPREFIX
# (BUILD_DIR is made afresh; it ends up holding the signed qmb-setup.exe)
source "$(dirname "$0")/lib.sh"
source_dir="$1" build="$2" payload="$3" tools_prefix="$4"
exe="$build/qmb-setup.exe"
work="$build-work"
rm -rf "$build" "$work"
mkdir -p "$work"

# The signer: a self-signed code-signing certificate, its key in a PKCS#12
# file whose password is random and goes only through files and the
# environment.
openssl req -x509 -newkey rsa:2048 -noenc -keyout "$work/key.pem" -out "$work/cert.pem" -days 2 \
  -subj "/CN=qmb-setup test signer" -addext "extendedKeyUsage=codeSigning" \
  -addext "keyUsage=critical,digitalSignature" 2>/dev/null
openssl rand -hex 16 | tr -d '\n' >"$work/password"
echo "not-the-password" >"$work/wrong-password"
openssl pkcs12 -export -in "$work/cert.pem" -inkey "$work/key.pem" -passout "file:$work/password" \
  -out "$work/signer.p12"
openssl pkcs12 -export -in "$work/cert.pem" -inkey "$work/key.pem" -passout pass: -out "$work/open.p12"
: >"$work/empty-password"
export QMB_TEST_SIGN_PASSWORD
QMB_TEST_SIGN_PASSWORD="$(cat "$work/password")"

# build WHAT [CMAKE ARGUMENTS]: configures (with the signer) and builds the
# exe; the build's status is in BUILD_STATUS and its output in build.log.
build() {
  local what="$1"
  shift
  BUILD_STATUS=0
  (cd "$source_dir" && cmake --preset windows -B "$build" -DPAYLOAD_DIR="$payload" \
     -DQMB_TOOLS_WINEPREFIX="$tools_prefix" -DQMB_SIGN_PKCS12="$work/signer.p12" "$@" &&
   cmake --build "$build" --target qmb-setup -j2) >"$work/build.log" 2>&1 || BUILD_STATUS=$?
  qmb_log "$what: build status $BUILD_STATUS"
}

# expect_signed WHAT: the signature verifies, the sections are where they were.
expect_signed() {
  local out
  if out="$(osslsigncode verify -in "$exe" -CAfile "$work/cert.pem" 2>&1)"; then
    qmb_pass "$1: the signature verifies against the test root"
  else
    qmb_fail "$1: the signature verifies against the test root" "$out"
  fi
  if out="$(python3 "$source_dir/tests/resources/align_resources_test.py" --exe "$exe" ProductTest 2>&1)"; then
    qmb_pass "$1: the resource section is on a page boundary and the checksum holds"
  else
    qmb_fail "$1: the resource section is on a page boundary and the checksum holds" "$out"
  fi
}

build "password from the environment" -DQMB_SIGN_PASSWORD_ENV=QMB_TEST_SIGN_PASSWORD -DQMB_SIGN_PASSWORD_FILE=
if ((BUILD_STATUS != 0)); then
  qmb_fail "the signed build succeeds" "$(tail -30 "$work/build.log")"
  qmb_finish
fi
expect_signed "password from the environment"
if grep -q -F "$QMB_TEST_SIGN_PASSWORD" "$build/CMakeCache.txt" "$build/build.ninja" "$work/build.log"; then
  qmb_fail "the password is in no build file nor the build's output"
else
  qmb_pass "the password is in no build file nor the build's output"
fi

# The check a customer or auditor runs (scripts/verify-signed.sh): it builds
# the exe again and finds the signed one to be that exe plus a signature;
# given the sources of another build (the manifest changed), it finds that
# the signed exe differs, and says where.
verify() {
  VERIFY_STATUS=0
  TMPDIR="$work" "$source_dir/scripts/verify-signed.sh" "$exe" --payload "$payload" \
    --tools-wineprefix "$tools_prefix" "$@" >"$work/verify.out" 2>&1 || VERIFY_STATUS=$?
  qmb_log "verify-signed $*: status $VERIFY_STATUS: $(tail -1 "$work/verify.out")"
}
verify
expect_eq "the signed exe is the exe its inputs build plus a signature" "0 same" \
  "$VERIFY_STATUS $(tail -1 "$work/verify.out" | cut -d: -f1)"
mkdir "$work/other-source"
tar -C "$source_dir" --exclude=./build --exclude=./.git -cf - . | tar -C "$work/other-source" -xf -
echo '<!-- another build -->' >>"$work/other-source/res/qmb-setup.manifest.in"
verify --source "$work/other-source"
expect_eq "the signed exe differs from another build's exe" 1 "$VERIFY_STATUS"
if tail -1 "$work/verify.out" | grep -Eq '^differs: not the rebuilt exe plus a signature: first difference at offset [0-9]+ \(0x[0-9a-f]+\), [a-z]'; then
  qmb_pass "the reason names the first differing offset and where it lies"
else
  qmb_fail "the reason names the first differing offset and where it lies" "$(cat "$work/verify.out")"
fi

build "wrong password" -DQMB_SIGN_PASSWORD_ENV= -DQMB_SIGN_PASSWORD_FILE="$work/wrong-password"
expect_eq "a wrong password fails the build" 1 "$((BUILD_STATUS != 0))"
expect_absent "a failed signing leaves no exe" "$exe"

build "password from a file" -DQMB_SIGN_PASSWORD_FILE="$work/password"
expect_eq "the build with the password file succeeds" 0 "$BUILD_STATUS"
expect_signed "password from a file"
cp "$exe" "$work/cut.exe"  # for the cut signer's case below

build "empty password" -DQMB_SIGN_PKCS12="$work/open.p12" -DQMB_SIGN_PASSWORD_FILE="$work/empty-password"
expect_eq "the build with an empty password succeeds" 0 "$BUILD_STATUS"
expect_signed "empty password"

# A signer that writes a cut image: the step's own checks fail on it in a
# way of their own, and still nothing is left.
cat >"$work/cut-signer" <<'EOF'
#!/bin/sh
while [ $# -gt 0 ]; do case "$1" in -in) in="$2" ;; -out) out="$2" ;; esac; shift; done
head -c 200 "$in" >"$out"
EOF
chmod +x "$work/cut-signer"
cut_status=0
python3 "$source_dir/cmake/sign_exe.py" "$work/cut.exe" --pkcs12 "$work/open.p12" \
  --password-file "$work/empty-password" --osslsigncode "$work/cut-signer" >"$work/cut.log" 2>&1 || cut_status=$?
expect_eq "a signer's cut output fails the step" 1 "$cut_status"
expect_absent "a signer's cut output leaves no exe" "$work/cut.exe"
expect_absent "a signer's cut output leaves no partial output" "$work/cut.exe.signed"
qmb_finish
