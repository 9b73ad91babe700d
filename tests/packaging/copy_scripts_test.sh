#!/usr/bin/env bash
# install.cmd and uninstall.cmd under Wine's cmd, run from the zip unpacked into
# a folder whose path has spaces and parentheses: an install, an upgrade from
# a second such folder, other accounts, another service name, dependencies
# (set, kept by an upgrade, cleared), the names, dependency lists, accounts
# and stray arguments the scripts refuse, and a step that fails (a helper DLL
# rundll32 cannot run) stopping install.cmd.
# Usage: copy_scripts_test.sh <source root> [x86|x64]   (dist/ as scripts/package left it)
# For x64 (in a win64 prefix) the scripts run in Wine's 64-bit cmd, and once
# in its 32-bit cmd, as from a 32-bit prompt on 64-bit Windows.
#
# The service's settings go through the service manager (rundll32 and the
# zip's MerivastInstallActions.dll). Wine's keeps no recovery actions, failure
# flag, delayed start, SID type or service security (its DACL is empty, a
# SetServiceObjectSecurity does nothing), so the DLL writes them to the
# service's key, where they are read; the preshutdown time it keeps (it writes
# 180000 ms into a service's key when it creates the service, so 30000 there
# shows the call). Wine's sc has no "config" verb, so a take-over writes the
# path to the registry; its icacls changes nothing, so install.cmd warns, and
# the rights on logs\ cannot be checked. An sc that refuses the account
# (Windows' answer for a bad account, played by a stand-in through
# MERIVAST_SC) stops install.cmd with its error.
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
expect_eq "install.cmd exits 0" 0 "$(exit_code "$HOME_DIR" install.cmd)"
check_service_entry "$WIN_EXE" "$DEFAULT_ACCOUNT"
check_configured() {
  expect_eq "recovery: restart after 10 s, 30 s, then every 60 s; reset after a day" \
    "REG_BINARY $FAILURE_ACTIONS_HEX" "$(reg_value "$SERVICE_KEY" FailureActions)"
  expect_eq "user-defined controls for SYSTEM and Administrators only, the rest of Windows' default kept" \
    "$RESTRICTED_SERVICE_DACL" "$(service_dacl)"
  check "it says which settings went to the service's key" stderr_has "does not keep some of these settings"
}
check_configured
expect_eq "no dependencies" "" "$(reg_value "$SERVICE_KEY" DependOnService)"
expect_eq "ImagePath is quoted" "\"$WIN_EXE\"" \
  "$(reg_value "$SERVICE_KEY" ImagePath | sed 's/^REG_[A-Z_]* //')"
check "logs\\ is created" test -d "$HOME_DIR/logs"
check "it warns that icacls shows no grant on logs\\" \
  stderr_has "icacls shows no grant for NT SERVICE\\$SERVICE on"
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
check "logs\\ is granted to its own virtual account" stderr_has "icacls shows no grant for NT SERVICE\\$SERVICE"
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

echo "== arguments install.cmd and uninstall.cmd do not take, with nothing written"
services_before="$(wine_run reg query 'HKLM\SYSTEM\CurrentControlSet\Services' "${REG_VIEW[@]}")"
# arguments|what it says. cmd splits "/depend:Tcpip;Dnscache" at ';'.
while IFS='|' read -r arguments says; do
  read -r -a words <<<"$arguments"
  expect_eq "install.cmd $arguments exits 10" 10 "$(exit_code "$HOME_DIR" install.cmd "${words[@]}")"
  check "it says: $says" stderr_has "$says"
done <<'ARGUMENTS'
/depend:Tcpip;Dnscache|"Dnscache" is not an account this script takes
/depend:Tcpip,Dnscache LocalSystem|"Dnscache" is not an account this script takes
LocalSystem secret extra|"extra" is one argument too many
/account:x|"/account:x" is not an option this script takes
svc|"svc" is not an account this script takes: LocalSystem, or a name with its domain, such as .\svc
ARGUMENTS
check "the refusals say how to give several dependencies" stderr_has "separate the services of /depend: with '/'"
expect_eq "uninstall.cmd /name:$SERVICE extra exits 10" 10 "$(exit_code "$HOME_DIR" uninstall.cmd "/name:$SERVICE" extra)"
check "it says so" stderr_has '"extra" is not an argument this script takes'
expect_eq "no service and no event source was written" "$services_before" \
  "$(wine_run reg query 'HKLM\SYSTEM\CurrentControlSet\Services' "${REG_VIEW[@]}")"

echo "== a step that fails stops install.cmd"
# The other architecture's DLL: rundll32 cannot load it and ends with 0.
FOREIGN_DIR="$BASE/foreign/$NAME"
mkdir -p "$BASE/foreign"
cp -R "$HOME_DIR" "$BASE/foreign/"
cp "$DIST/$([ "$ARCH" = x64 ] || echo x64/)installer/MerivastInstallActions.dll" "$FOREIGN_DIR/"
expect_eq "install.cmd with a DLL rundll32 cannot run exits 6" 6 "$(exit_code "$FOREIGN_DIR" install.cmd)"
check "it says rundll32 ran no entry" stderr_has "ended with 0: rundll32 ran no entry of it"
check "and does not say it is done" not stdout_has "install: done"
expect_eq "uninstall.cmd exits 0" 0 "$(exit_code "$HOME_DIR" uninstall.cmd)"

if [ "$ARCH" = x64 ]; then
  echo "== install.cmd from a 32-bit prompt on 64-bit Windows"
  # /usr/bin/wine starts Wine's own programs as 32-bit ones: its cmd is the
  # SysWOW64 one, where System32 names SysWOW64 and Sysnative System32.
  WINE64="$WINE"
  WINE=wine
  expect_eq "install.cmd in the 32-bit cmd exits 0" 0 "$(exit_code "$HOME_DIR" install.cmd)"
  WINE="$WINE64"
  check_service_entry "$WIN_EXE" "$DEFAULT_ACCOUNT"
  check_configured
  expect_eq "uninstall.cmd exits 0" 0 "$(exit_code "$HOME_DIR" uninstall.cmd)"
fi

echo "== install.cmd outside the install directory"
mkdir -p "$BASE/elsewhere"
cp "$HOME_DIR/install.cmd" "$BASE/elsewhere/"
expect_eq "install.cmd exits 1 without MerivastService.exe beside it" 1 \
  "$(exit_code "$BASE/elsewhere" install.cmd)"
check "it says MerivastService.exe is missing" stderr_has "not found"
check "no service was created" not service_known

finish
