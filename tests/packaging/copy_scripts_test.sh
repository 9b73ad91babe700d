#!/usr/bin/env bash
# install.cmd and uninstall.cmd under Wine's cmd, run from the zip unpacked into
# a folder whose path has spaces and parentheses: an install, an upgrade from
# a second such folder, other accounts, another service name, and the names
# both scripts refuse.
# Usage: copy_scripts_test.sh <source root> [x86|x64]   (dist/ as scripts/package left it)
# For x64 (in a win64 prefix) the scripts run in Wine's 64-bit cmd.
#
# Wine's sc accepts "failure" but its service manager does not store failure
# actions, and it has no "config", "failureflag" or "sidtype" verb and no
# "start= delayed-auto", so install.cmd falls back to the registry values; its
# icacls changes nothing, so install.cmd warns. FailureActions itself cannot
# be checked here, nor the rights on logs\.
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
setup_common "$@"
need_wine
[ -f "$ZIP" ] || { echo "$ZIP is missing (scripts/package)"; exit 1; }

BASE="$DRIVE_C/Merivast (copy test)"
NAME="$ZIP_TOP"
HOME_DIR="$BASE/$NAME"
WIN_EXE="C:\\Merivast (copy test)\\$NAME\\MerivastService.exe"

# run_script <dir> <script> [args...]: runs it the way an operator does, from
# the install directory; stdout and stderr land in $TMP/out and $TMP/err.
run_script() {
  local dir="$1"; shift
  local status=0
  (cd "$dir" && "$WINE" cmd /c "$@" </dev/null >"$TMP/out" 2>"$TMP/err") || status=$?
  tr -d '\r' <"$TMP/out" >"$TMP/out.txt"
  tr -d '\r' <"$TMP/err" >"$TMP/err.txt"
  cat "$TMP/err.txt" >>"$WINE_LOG"
  return "$status"
}
exit_code() { local s=0; run_script "$@" || s=$?; echo "$s"; }
stderr_has() { grep -qF "$1" "$TMP/err.txt"; }
stdout_has() { grep -qF "$1" "$TMP/out.txt"; }

cleanup_hook() {
  use_service MvtCopyOther
  remove_leftovers
  use_service MerivastService
  remove_leftovers
  rm -rf "$BASE"
}
cleanup_hook
mkdir -p "$BASE"
unzip -q "$ZIP" -d "$BASE" || { echo "cannot unpack $ZIP"; exit 1; }

echo "== install.cmd"
# An operator's own VM options, which no install may touch.
echo "-Xmx1g" >>"$HOME_DIR/conf/jvm.options"
cp "$HOME_DIR/conf/jvm.options" "$TMP/jvm.options"
expect_eq "install.cmd exits 0" 0 "$(exit_code "$HOME_DIR" install.cmd)"
check_service_entry "$WIN_EXE" "$DEFAULT_ACCOUNT"
expect_eq "ImagePath is quoted" "\"$WIN_EXE\"" \
  "$(reg_value "$SERVICE_KEY" ImagePath | sed 's/^REG_[A-Z_]* //')"
check "it says Wine's sc makes no delayed start" stderr_has '"sc create" did not take "start= delayed-auto"'
check "logs\\ is created" test -d "$HOME_DIR/logs"
check "it warns that the rights on logs\\ are not granted" \
  stderr_has "could not grant NT SERVICE\\$SERVICE modify rights on"
check "conf\\jvm.options is untouched" cmp -s "$TMP/jvm.options" "$HOME_DIR/conf/jvm.options"

echo "== install.cmd from another folder: an upgrade by copying"
# The service is left under another account first, which the upgrade keeps.
expect_eq "uninstall.cmd exits 0" 0 "$(exit_code "$HOME_DIR" uninstall.cmd)"
expect_eq "install.cmd LocalService exits 0" 0 "$(exit_code "$HOME_DIR" install.cmd 'NT AUTHORITY\LocalService')"
SECOND_DIR="$BASE/second copy/$NAME"
SECOND_EXE="C:\\Merivast (copy test)\\second copy\\$NAME\\MerivastService.exe"
mkdir -p "$BASE/second copy"
unzip -q "$ZIP" -d "$BASE/second copy" || fail "cannot unpack $ZIP again"
expect_eq "install.cmd in the second folder exits 0" 0 "$(exit_code "$SECOND_DIR" install.cmd)"
check "it says it takes the service over" stdout_has "service $SERVICE exists; pointing it at"
check "it says Wine's sc has no config verb" stderr_has '"sc config" failed; writing ImagePath'
check_service_entry "$SECOND_EXE" 'NT AUTHORITY\LocalService'

echo "== uninstall.cmd"
expect_eq "uninstall.cmd exits 0" 0 "$(exit_code "$HOME_DIR" uninstall.cmd)"
check_service_gone
check "the files stay" test -f "$HOME_DIR/MerivastService.exe"

echo "== uninstall.cmd with nothing installed"
expect_eq "uninstall.cmd exits 0" 0 "$(exit_code "$HOME_DIR" uninstall.cmd)"
check "it says the service is not installed" stdout_has "is not installed"

for account in 'NT AUTHORITY\LocalService' LocalSystem; do
  echo "== install.cmd $account"
  expect_eq "install.cmd exits 0" 0 "$(exit_code "$HOME_DIR" install.cmd "$account")"
  check_service_entry "$WIN_EXE" "$account"
  expect_eq "uninstall.cmd exits 0" 0 "$(exit_code "$HOME_DIR" uninstall.cmd)"
done

echo "== install.cmd with an account and a password"
expect_eq "install.cmd .\\merivast secret exits 0" 0 \
  "$(exit_code "$HOME_DIR" install.cmd '.\merivast' secret)"
expect_eq "service account" "REG_SZ .\\merivast" "$(reg_value "$SERVICE_KEY" ObjectName)"
expect_eq "uninstall.cmd exits 0" 0 "$(exit_code "$HOME_DIR" uninstall.cmd)"
check_service_gone

echo "== install.cmd /name: another service from the same folder's executable"
use_service MvtCopyOther
expect_eq "install.cmd /name:$SERVICE exits 0" 0 "$(exit_code "$HOME_DIR" install.cmd "/name:$SERVICE")"
check_service_entry "$WIN_EXE" "$DEFAULT_ACCOUNT"
check "logs\\ is granted to its own virtual account" stderr_has "could not grant NT SERVICE\\$SERVICE modify rights"
expect_eq "install.cmd /name:$SERVICE with an account exits 0" 0 \
  "$(exit_code "$HOME_DIR" install.cmd "/name:$SERVICE" LocalSystem)"
check_service_entry "$WIN_EXE" LocalSystem
use_service MerivastService
check "MerivastService was not created" not service_known
use_service MvtCopyOther
expect_eq "uninstall.cmd /name:$SERVICE exits 0" 0 "$(exit_code "$HOME_DIR" uninstall.cmd "/name:$SERVICE")"
check_service_gone
use_service MerivastService

echo "== names the scripts refuse, with nothing written"
services_before="$(wine_run reg query 'HKLM\SYSTEM\CurrentControlSet\Services' "${REG_VIEW[@]}")"
long_name="$(printf 'N%.0s' {1..80})"
for name in '' 'a/b' 'a\b' 'two words' "${long_name}x" 'a(b)' 'x!'; do
  expect_eq "install.cmd /name:[$name] exits 7" 7 "$(exit_code "$HOME_DIR" install.cmd "/name:$name")"
  check "it says why" stderr_has "is not a service name this script takes"
  expect_eq "uninstall.cmd /name:[$name] exits 7" 7 "$(exit_code "$HOME_DIR" uninstall.cmd "/name:$name")"
done
expect_eq "no service and no event source was written" "$services_before" \
  "$(wine_run reg query 'HKLM\SYSTEM\CurrentControlSet\Services' "${REG_VIEW[@]}")"
expect_eq "a name of 80 characters is taken" 0 "$(exit_code "$HOME_DIR" uninstall.cmd "/name:$long_name")"
check "(and found not installed)" stdout_has "is not installed"

echo "== install.cmd outside the install directory"
mkdir -p "$BASE/elsewhere"
cp "$HOME_DIR/install.cmd" "$BASE/elsewhere/"
expect_eq "install.cmd exits 1 without MerivastService.exe beside it" 1 \
  "$(exit_code "$BASE/elsewhere" install.cmd)"
check "it says MerivastService.exe is missing" stderr_has "not found"
check "no service was created" not service_known

finish
