#!/usr/bin/env bash
# The MSI under Wine's msiexec: a default install and its removal, an install
# under another account, and a major upgrade followed by a refused downgrade.
# For x64 (in a win64 prefix, with the 64-bit msiexec) also: the x86 and the
# x64 package each refuse to install while the other one is installed.
# Usage: msi_test.sh <source root> [x86|x64]   (dist/ as scripts/build left it)
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
setup_common "$@"
need_wine
[ -f "$MSI" ] || { echo "$MSI is missing (scripts/package)"; exit 1; }

INSTALL_DIR="$DRIVE_C/$PROGRAM_FILES/MerivastService"
INSTALLED_EXE="C:\\$PROGRAM_FILES\\MerivastService\\MerivastService.exe"
UNINSTALL_KEY='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall'

product_code() { msiinfo export "$1" Property | awk -F'\t' '$1 == "ProductCode" { print $2 }' | tr -d '\r'; }
# msiexec takes the package by its Windows path; Z: is the Unix root.
msiexec_run() {
  local action="$1" msi="$2"; shift 2
  wine_run msiexec "$action" "Z:${msi//\//\\}" /qn "$@" >/dev/null
}

# The installed tree is exactly the packaged tree's layout plus jre\README.txt,
# file for file.
check_installed_files() {
  local expected actual f bad=""
  expected="$(cd "$TREE" && { echo MerivastService.exe; find lib conf jre -type f; } | LC_ALL=C sort)"
  actual="$(cd "$INSTALL_DIR" 2>/dev/null && find . -type f | sed 's|^\./||' | LC_ALL=C sort)"
  expect_eq "installed files" "$expected" "$actual"
  for f in $expected; do
    cmp -s "$TREE/$f" "$INSTALL_DIR/$f" || bad+=" $f"
  done
  expect_eq "installed files have the packaged tree's contents" "" "$bad"
}

check_removed() {
  check_service_gone
  check "install directory is gone" not test -e "$INSTALL_DIR"
  check "product is no longer registered" not key_exists "$UNINSTALL_KEY\\$1"
}

cleanup_hook() {
  [ -n "${UPGRADE_MSI:-}" ] && msiexec_run /x "$UPGRADE_MSI" || true
  msiexec_run /x "$MSI" || true
  [ "$ARCH" = x64 ] && msiexec_run /x "$OTHER_MSI" || true
  remove_leftovers
}
cleanup_hook

CODE="$(product_code "$MSI")"

echo "== default install"
check "msiexec /i succeeds" msiexec_run /i "$MSI"
check "product is registered" key_exists "$UNINSTALL_KEY\\$CODE"
if [ "$ARCH" = x64 ]; then
  check "it is registered as a 64-bit product" not key_exists "$UNINSTALL_KEY\\$CODE" /reg:32
fi
check_service_entry "$INSTALLED_EXE" LocalSystem
expect_eq "recovery actions: restart after 10 s twice, reset after a day" \
  "REG_BINARY $FAILURE_ACTIONS_HEX" "$(reg_value "$SERVICE_KEY" FailureActions)"
check_installed_files

echo "== uninstall"
check "msiexec /x succeeds" msiexec_run /x "$MSI"
check_removed "$CODE"

echo "== install under another account"
check "msiexec /i SERVICEACCOUNT=... succeeds" \
  msiexec_run /i "$MSI" 'SERVICEACCOUNT=NT AUTHORITY\LocalService'
expect_eq "service account comes from SERVICEACCOUNT" "REG_SZ NT AUTHORITY\\LocalService" \
  "$(reg_value "$SERVICE_KEY" ObjectName)"
check "msiexec /x succeeds" msiexec_run /x "$MSI"
check_removed "$CODE"

echo "== major upgrade, then a refused downgrade"
# The same tree packaged as 9.8.7, by a copy of scripts/package.
UP="$TMP/up"
mkdir -p "$UP/scripts"
cp "$ROOT/scripts/package" "$UP/scripts/"
cp -R "$ROOT/packaging" "$ROOT/README.md" "$UP/"
mkdir -p "$UP/dist/x64"
cp -R "$DIST/MerivastService.exe" "$DIST/lib" "$DIST/conf" "$UP/dist/"
cp -R "$DIST/x64/MerivastService.exe" "$DIST/x64/lib" "$DIST/x64/conf" "$UP/dist/x64/"
sed "s/^project(MerivastService VERSION [0-9.]*/project(MerivastService VERSION 9.8.7/" \
  "$ROOT/CMakeLists.txt" >"$UP/CMakeLists.txt"
if "$UP/scripts/package" >"$TMP/package.log" 2>&1; then
  UPGRADE_MSI="$UP/dist/MerivastService-9.8.7-$ARCH.msi"
  UPGRADE_CODE="$(product_code "$UPGRADE_MSI")"
  check "msiexec /i $VERSION succeeds" msiexec_run /i "$MSI"
  check "msiexec /i 9.8.7 over it succeeds" msiexec_run /i "$UPGRADE_MSI"
  check "the old product is gone" not key_exists "$UNINSTALL_KEY\\$CODE"
  expect_eq "the new product is registered" "REG_SZ 9.8.7" \
    "$(reg_value "$UNINSTALL_KEY\\$UPGRADE_CODE" DisplayVersion)"
  check_service_entry "$INSTALLED_EXE" LocalSystem
  check_installed_files
  check "msiexec /i $VERSION over 9.8.7 is refused" not msiexec_run /i "$MSI"
  check "9.8.7 stays registered" key_exists "$UNINSTALL_KEY\\$UPGRADE_CODE"
  check "the service stays" key_exists "$SERVICE_KEY"
  check "msiexec /x 9.8.7 succeeds" msiexec_run /x "$UPGRADE_MSI"
  check_removed "$UPGRADE_CODE"
else
  fail "packaging 9.8.7: $(tail -n 5 "$TMP/package.log")"
fi

if [ "$ARCH" = x64 ]; then
  # Both install the service MerivastService; only one of them may be there.
  [ -f "$OTHER_MSI" ] || fail "$OTHER_MSI is missing (scripts/package)"
  OTHER_EXE='C:\Program Files (x86)\MerivastService\MerivastService.exe'
  echo "== x86 installed, then x64"
  check "msiexec /i x86 succeeds" msiexec_run /i "$OTHER_MSI"
  check "msiexec /i x64 is refused" not msiexec_run /i "$MSI"
  check "x64 is not registered" not key_exists "$UNINSTALL_KEY\\$CODE"
  check "nothing went to Program Files" not test -e "$INSTALL_DIR"
  expect_eq "the service stays the x86 one" "REG_SZ $OTHER_EXE" "$(reg_value "$SERVICE_KEY" ImagePath | tr -d '"')"
  check "msiexec /x x86 succeeds" msiexec_run /x "$OTHER_MSI"
  check_service_gone
  echo "== x64 installed, then x86"
  check "msiexec /i x64 succeeds" msiexec_run /i "$MSI"
  check "msiexec /i x86 is refused" not msiexec_run /i "$OTHER_MSI"
  check "nothing went to Program Files (x86)" not test -e "$DRIVE_C/Program Files (x86)/MerivastService"
  check_service_entry "$INSTALLED_EXE" LocalSystem
  check "msiexec /x x64 succeeds" msiexec_run /x "$MSI"
  check_removed "$CODE"
fi

finish
