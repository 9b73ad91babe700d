#!/usr/bin/env bash
# Signed packages: scripts/package, run in a copy of the source tree with a
# throw-away code-signing certificate, signs the executable before it goes
# into the zip and the MSI, and signs the MSI; osslsigncode verifies each
# signature against that certificate; and the signed executable lives the
# normal service life under Wine's SCM (a signature must not break the PE).
# Usage: signing_test.sh <source root> <x86|x64> <build dir>
#   (dist/ as scripts/package left it; the build dir holds service_tests.exe)
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
setup_common "$1" "$2"
BUILD="$3"
need_wine

# Valid for a day: long enough for the test, useless afterwards.
openssl req -x509 -newkey rsa:2048 -nodes -sha256 -days 1 -subj "/CN=MerivastService test signing" \
  -addext "keyUsage=critical,digitalSignature" -addext "extendedKeyUsage=codeSigning" \
  -keyout "$TMP/key.pem" -out "$TMP/cert.pem" >"$TMP/openssl.log" 2>&1 ||
  { echo "openssl could not make a certificate: $(tail -n 3 "$TMP/openssl.log")"; exit 1; }

R="$TMP/root"
copy_packaging_root "$R"

echo "== scripts/package with a certificate"
unset MERIVAST_SIGN_PASSWORD_FILE MERIVAST_SIGN_TIMESTAMP
if ! MERIVAST_SIGN_CERT="$TMP/cert.pem" MERIVAST_SIGN_KEY="$TMP/key.pem" SOURCE_DATE_EPOCH=1700000000 \
    "$R/scripts/package" >"$TMP/package.log" 2>&1; then
  fail "package: $(tail -n 5 "$TMP/package.log")"
  finish
fi
check "it says it signed" grep -q "^package: signed: the executables, the MSIs' custom actions and the MSIs" "$TMP/package.log"

SIGNED_TREE="$R/dist"
[ "$ARCH" = x64 ] && SIGNED_TREE="$R/dist/x64"
SIGNED_EXE="$SIGNED_TREE/MerivastService.exe"
SIGNED_MSI="$R/dist/MerivastService-$VERSION-$ARCH.msi"
verifies() {
  osslsigncode verify -CAfile "$TMP/cert.pem" -in "$1" >"$TMP/verify.log" 2>&1 &&
    grep -q "^Signature verification: ok" "$TMP/verify.log"
}
check "the $ARCH executable's signature verifies" verifies "$SIGNED_EXE"
check "the $ARCH MSI's signature verifies" verifies "$SIGNED_MSI"
msiinfo extract "$SIGNED_MSI" Binary.InstallActions >"$TMP/actions.dll" 2>/dev/null
check "the signature of the MSI's custom actions verifies" verifies "$TMP/actions.dll"
check "the executable of the unsigned packages does not" not verifies "$TREE/MerivastService.exe"
check "the SHA-256 list is of the signed files" bash -c "cd '$R/dist' && sha256sum --quiet -c SHA256SUMS"

echo "== the packages hold the signed executable"
unzip -p "$R/dist/MerivastService-$VERSION-$ARCH.zip" "$ZIP_TOP/MerivastService.exe" >"$TMP/from-zip.exe"
check "the zip's" cmp -s "$SIGNED_EXE" "$TMP/from-zip.exe"
mkdir -p "$TMP/msi"
msiextract -C "$TMP/msi" "$SIGNED_MSI" >/dev/null 2>&1
from_msi="$(find "$TMP/msi" -name MerivastService.exe | head -n 1)"
check "the MSI's" cmp -s "$SIGNED_EXE" "$from_msi"

echo "== a service life with the signed executable"
if MVT_SERVICE_EXECUTABLE="$SIGNED_EXE" "$WINE" "$BUILD/tests/service_tests.exe" \
    --gtest_filter=ServiceLifeTest.NormalLifeWithAStop >"$TMP/life.log" 2>&1 </dev/null; then
  pass "started, running, stopped on request with exit code 0, its two events"
else
  fail "the life with the signed executable: $(tr -d '\r' <"$TMP/life.log" | grep -E 'Failure|Expected|Which is|FAILED' | head -n 8)"
fi
check "the life ran one test" grep -q "PASSED .*1 test" "$TMP/life.log"

finish
