#!/usr/bin/env bash
# install.cmd and uninstall.cmd under Wine's cmd, run from the zip unpacked into
# a folder whose path has spaces and parentheses: an install, an upgrade from
# a second such folder, other accounts, another service name, dependencies
# (set, kept by an upgrade, cleared), and the names and dependency lists the
# scripts refuse.
# Usage: copy_scripts_test.sh <source root> [x86|x64]   (dist/ as scripts/package left it)
# For x64 (in a win64 prefix) the scripts run in Wine's 64-bit cmd.
#
# Wine's sc accepts "failure" but its service manager does not store failure
# actions (QueryServiceConfig2 answers ERROR_INVALID_LEVEL), so the recovery
# actions are read from sc's command line (a stand-in sc through MERIVAST_SC
# notes it); Wine's has no "config", "failureflag" or "sidtype" verb and no
# "start= delayed-auto", so install.cmd falls back to the registry values; its
# icacls changes nothing, so install.cmd warns, and the rights on logs\
# cannot be checked. Its service manager keeps no service security (an empty
# DACL, a SetServiceObjectSecurity that does nothing): install.cmd writes the
# descriptor to the service's key, where it is read. Dependencies go through
# the service manager, which keeps them in DependOnService. The preshutdown time goes through
# the service manager (rundll32 and the zip's MerivastInstallActions.dll):
# Wine's writes 180000 ms into a service's key when it creates the service
# and the value the call sets otherwise, so 30000 there shows the call. An sc
# that refuses the account (Windows' answer for a bad account, played by a
# stand-in through MERIVAST_SC) stops install.cmd with its error.
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
# A cmd that Wine did not start is tried once more (not_started).
run_script() {
  local dir="$1"; shift
  local status=0
  (cd "$dir" && "$WINE" cmd /c "$@" </dev/null >"$TMP/out" 2>"$TMP/err") || status=$?
  if not_started "$status" "$TMP/out" "$TMP/err"; then
    status=0
    (cd "$dir" && "$WINE" cmd /c "$@" </dev/null >"$TMP/out" 2>"$TMP/err") || status=$?
  fi
  tr -d '\r' <"$TMP/out" >"$TMP/out.txt"
  tr -d '\r' <"$TMP/err" >"$TMP/err.txt"
  cat "$TMP/err.txt" >>"$WINE_LOG"
  return "$status"
}
exit_code() { local s=0; run_script "$@" || s=$?; echo "$s"; }
stderr_has() { grep -qF "$1" "$TMP/err.txt"; }
stdout_has() { grep -qF "$1" "$TMP/out.txt"; }

cleanup_hook() {
  use_service MvtCopyQuoted
  remove_leftovers
  use_service MvtCopyOther
  remove_leftovers
  use_service MerivastService
  remove_leftovers
  rm -rf "$BASE"
}
cleanup_hook
mkdir -p "$BASE"
unzip -q "$ZIP" -d "$BASE" || { echo "cannot unpack $ZIP"; exit 1; }

fake_sc "$TMP/fake-sc.exe" || fail "cannot build the stand-in sc"
FAKE_SC="Z:${TMP//\//\\}\\fake-sc.exe"

echo "== install.cmd"
# An operator's own VM options, which no install may touch.
echo "-Xmx1g" >>"$HOME_DIR/conf/jvm.options"
cp "$HOME_DIR/conf/jvm.options" "$TMP/jvm.options"
expect_eq "install.cmd exits 0" 0 "$(MERIVAST_SC="$FAKE_SC" MVT_SC_LOG="$TMP/sc.log" exit_code "$HOME_DIR" install.cmd)"
check_service_entry "$WIN_EXE" "$DEFAULT_ACCOUNT"
check "recovery: restart after 10 s, 30 s, then every 60 s; reset after a day" \
  grep -qF 'failure "MerivastService" reset= 86400 actions= restart/10000/restart/30000/restart/60000' "$TMP/sc.log"
expect_eq "user-defined controls for SYSTEM and Administrators only, the rest of Windows' default kept" \
  "$RESTRICTED_SERVICE_DACL" "$(service_dacl)"
check "it says Wine's service manager keeps no service security" stderr_has "keeps no service security"
expect_eq "no dependencies" "" "$(reg_value "$SERVICE_KEY" DependOnService)"
expect_eq "ImagePath is quoted" "\"$WIN_EXE\"" \
  "$(reg_value "$SERVICE_KEY" ImagePath | sed 's/^REG_[A-Z_]* //')"
check "it says Wine's sc makes no delayed start" stderr_has '"sc create" did not take "start= delayed-auto"'
check "the preshutdown time went through the service manager" not stderr_has "PreshutdownTimeout"
check "logs\\ is created" test -d "$HOME_DIR/logs"
check "it warns that the rights on logs\\ are not granted" \
  stderr_has "could not grant NT SERVICE\\$SERVICE modify rights on"
check "conf\\jvm.options is untouched" cmp -s "$TMP/jvm.options" "$HOME_DIR/conf/jvm.options"

echo "== install.cmd from another folder: an upgrade by copying"
# The service is left under another account first, which the upgrade keeps.
expect_eq "uninstall.cmd exits 0" 0 "$(exit_code "$HOME_DIR" uninstall.cmd)"
expect_eq "install.cmd /depend:... LocalService exits 0" 0 \
  "$(exit_code "$HOME_DIR" install.cmd '/depend:Tcpip/MSSQL$SQLEXPRESS' 'NT AUTHORITY\LocalService')"
expect_eq "the service depends on them" 'REG_MULTI_SZ Tcpip\0MSSQL$SQLEXPRESS' "$(reg_value "$SERVICE_KEY" DependOnService)"
SECOND_DIR="$BASE/second copy/$NAME"
SECOND_EXE="C:\\Merivast (copy test)\\second copy\\$NAME\\MerivastService.exe"
mkdir -p "$BASE/second copy"
unzip -q "$ZIP" -d "$BASE/second copy" || fail "cannot unpack $ZIP again"
expect_eq "install.cmd in the second folder exits 0" 0 "$(exit_code "$SECOND_DIR" install.cmd)"
check "it says it takes the service over" stdout_has "service $SERVICE exists; pointing it at"
check "it says Wine's sc has no config verb" stderr_has 'this sc has no "config" verb; writing ImagePath'
check_service_entry "$SECOND_EXE" 'NT AUTHORITY\LocalService'
expect_eq "the dependencies stay" 'REG_MULTI_SZ Tcpip\0MSSQL$SQLEXPRESS' "$(reg_value "$SERVICE_KEY" DependOnService)"
expect_eq "the service's security is set again" "$RESTRICTED_SERVICE_DACL" "$(service_dacl)"

echo "== an sc that refuses the account stops install.cmd"
image_before="$(reg_value "$SERVICE_KEY" ImagePath)"
expect_eq "install.cmd .\\nobody over the service exits 8" 8 \
  "$(MERIVAST_SC="$FAKE_SC" exit_code "$HOME_DIR" install.cmd '.\nobody')"
check "with sc's own words" stdout_has "ChangeServiceConfig FAILED 1057"
check "and what 1057 means" stderr_has "1057: the account or password is not valid"
check "it does not fall back to the registry" not stderr_has "writing ImagePath"
check "nor say it is done" not stdout_has "install: done"
expect_eq "the service is unchanged" "$image_before" "$(reg_value "$SERVICE_KEY" ImagePath)"

echo "== install.cmd run by its path from another folder, with a quoted /name:"
use_service MvtCopyQuoted
mkdir -p "$BASE/elsewhere"
printf 'call "C:\\Merivast (copy test)\\second copy\\%s\\install.cmd" "/name:%s"\r\n' "$NAME" "$SERVICE" \
  >"$BASE/elsewhere/run.cmd"
status=0
(cd "$BASE/elsewhere" && "$WINE" cmd /c run.cmd </dev/null >"$TMP/out" 2>"$TMP/err") || status=$?
expect_eq "it exits 0" 0 "$status"
expect_eq "the service runs this folder's executable" "$SECOND_EXE" \
  "$(reg_value "$SERVICE_KEY" ImagePath | sed 's/^REG_[A-Z_]* //; s/"//g')"
expect_eq "uninstall.cmd /name:$SERVICE exits 0" 0 "$(exit_code "$HOME_DIR" uninstall.cmd "/name:$SERVICE")"
use_service MerivastService

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
expect_eq "install.cmd /depend:Tcpip /name:$SERVICE over it exits 0" 0 \
  "$(exit_code "$HOME_DIR" install.cmd /depend:Tcpip "/name:$SERVICE")"
expect_eq "the service depends on Tcpip" 'REG_MULTI_SZ Tcpip' "$(reg_value "$SERVICE_KEY" DependOnService)"
expect_eq "install.cmd /name:$SERVICE /depend:/ with an account exits 0" 0 \
  "$(exit_code "$HOME_DIR" install.cmd "/name:$SERVICE" /depend:/ LocalSystem)"
check_service_entry "$WIN_EXE" LocalSystem
expect_eq "it depends on nothing any more" "" "$(reg_value "$SERVICE_KEY" DependOnService)"
use_service MerivastService
check "MerivastService was not created" not service_known
use_service MvtCopyOther
expect_eq "uninstall.cmd /name:$SERVICE exits 0" 0 "$(exit_code "$HOME_DIR" uninstall.cmd "/name:$SERVICE")"
check_service_gone
use_service MerivastService

echo "== names the scripts refuse, with nothing written"
services_before="$(wine_run reg query 'HKLM\SYSTEM\CurrentControlSet\Services' "${REG_VIEW[@]}")"
long_name="$(printf 'N%.0s' {1..80})"
# name|the reason it gives
while IFS='|' read -r name reason; do
  expect_eq "install.cmd /name:[$name] exits 7" 7 "$(exit_code "$HOME_DIR" install.cmd "/name:$name")"
  check "it says why: $reason" stderr_has "\"$name\" is not a service name this script takes: $reason"
  expect_eq "uninstall.cmd /name:[$name] exits 7" 7 "$(exit_code "$HOME_DIR" uninstall.cmd "/name:$name")"
done <<NAMES
|1 to 80 characters
a/b|1 to 80 characters
a\b|1 to 80 characters
two words|1 to 80 characters
${long_name}x|1 to 80 characters
a(b)|1 to 80 characters
x!|1 to 80 characters
.|Windows forbids a folder name that ends in a period
..|Windows forbids a folder name that ends in a period
Orders.|Windows forbids a folder name that ends in a period
-rf|the first character must be a letter or a digit
CON|CON is a device name Windows reserves
nul.service|nul is a device name Windows reserves
Com1|Com1 is a device name Windows reserves
LPT9.x|LPT9 is a device name Windows reserves
NAMES
# list|the reason it gives
while IFS='|' read -r list reason; do
  expect_eq "install.cmd /depend:[$list] exits 9" 9 "$(exit_code "$HOME_DIR" install.cmd "/depend:$list")"
  check "it says why: $reason" stderr_has "\"/depend:$list\" $reason"
done <<LISTS
a\\b|is not a list of services this script takes: each name 1 to 256 characters
two words|is not a list of services this script takes
Tcpip//Dnscache|is not a list of services this script takes
/Tcpip|is not a list of services this script takes
Tcpip/|is not a list of services this script takes
+NetworkProvider|is not a list of services this script takes
$(printf 'D%.0s' {1..257})|is not a list of services this script takes
Tcpip/merivastservice|names MerivastService itself: a service cannot depend on itself
LISTS
expect_eq "no service and no event source was written" "$services_before" \
  "$(wine_run reg query 'HKLM\SYSTEM\CurrentControlSet\Services' "${REG_VIEW[@]}")"
expect_eq "a name of 80 characters is taken" 0 "$(exit_code "$HOME_DIR" uninstall.cmd "/name:$long_name")"
check "(and found not installed)" stdout_has "is not installed"
long_dependency="$(printf 'D%.0s' {1..256})"
expect_eq "a dependency of 256 characters is taken" 0 "$(exit_code "$HOME_DIR" install.cmd "/depend:$long_dependency")"
expect_eq "and set" "REG_MULTI_SZ $long_dependency" "$(reg_value "$SERVICE_KEY" DependOnService)"
expect_eq "uninstall.cmd exits 0" 0 "$(exit_code "$HOME_DIR" uninstall.cmd)"

echo "== install.cmd outside the install directory"
mkdir -p "$BASE/elsewhere"
cp "$HOME_DIR/install.cmd" "$BASE/elsewhere/"
expect_eq "install.cmd exits 1 without MerivastService.exe beside it" 1 \
  "$(exit_code "$BASE/elsewhere" install.cmd)"
check "it says MerivastService.exe is missing" stderr_has "not found"
check "no service was created" not service_known

finish
