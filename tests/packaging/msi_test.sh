#!/usr/bin/env bash
# The MSI under Wine's msiexec: a default install, a repair and the removal,
# installs under other accounts, and a major upgrade that keeps the account,
# removes the old version before it installs anything, and is followed by a
# refused downgrade; an account with a password, which a repair keeps and an
# upgrade asks for again; edited files of conf\ survive the repair, the
# upgrade and the removal, unedited ones go with the removal, a deleted one
# comes back from defaults\ at a repair; folders and links planted where
# earlier versions held files aside are never touched. The preshutdown time
# comes from the package's custom action (Wine's service manager writes its
# own otherwise). A removal that fails after it took the unedited files of
# conf\ away puts them back. Dependencies: refused lists
# stop the installation before anything changes; given ones are set, kept by
# a repair and an upgrade, cleared with "/". User-defined controls for
# Administrators only: Wine's service manager keeps no service security, so
# the descriptor is read from the service's key.
# For x64 (in a win64 prefix, with the 64-bit msiexec) also: the x86 and the
# x64 package each refuse to install while the other one is installed.
# Usage: msi_test.sh <source root> [x86|x64]   (dist/ as scripts/build left it)
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
setup_common "$@"
need_wine
[ -f "$MSI" ] || { echo "$MSI is missing (scripts/package)"; exit 1; }

INSTALL_DIR="$DRIVE_C/$PROGRAM_FILES/MerivastService"
JVM_OPTIONS="$INSTALL_DIR/conf/jvm.options"
INSTALLED_EXE="C:\\$PROGRAM_FILES\\MerivastService\\MerivastService.exe"
UNINSTALL_KEY='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall'
# Where the package remembers the service's account.
MEMORY_KEY='HKLM\SOFTWARE\MerivastService\Services\MerivastService'

product_code() { msiinfo export "$1" Property | awk -F'\t' '$1 == "ProductCode" { print $2 }' | tr -d '\r'; }
# msiexec takes the package by its Windows path; Z: is the Unix root.
msiexec_run() {
  local action="$1" msi="$2"; shift 2
  wine_run msiexec "$action" "Z:${msi//\//\\}" /qn "$@" >/dev/null
}

# The installed tree is exactly the packaged tree's layout, file for file,
# with conf\'s files in defaults\ too, plus the empty logs\; files named as
# arguments (edited by the test) are only there.
check_installed_files() {
  local expected actual f bad=""
  expected="$(cd "$TREE" && { echo MerivastService.exe; find lib conf jre -type f
                               find conf -type f | sed 's|^conf/|defaults/|'; } | LC_ALL=C sort)"
  actual="$(cd "$INSTALL_DIR" 2>/dev/null && find . -type f | sed 's|^\./||' | LC_ALL=C sort)"
  expect_eq "installed files" "$expected" "$actual"
  for f in $expected; do
    [[ " $* " == *" $f "* ]] || cmp -s "$TREE/${f/#defaults\//conf/}" "$INSTALL_DIR/$f" || bad+=" $f"
  done
  expect_eq "installed files have the packaged tree's contents" "" "$bad"
  expect_eq "logs\\ is there and empty" "" "$(ls -A "$INSTALL_DIR/logs" 2>&1)"
}

# An operator's change to a file of conf\.
edit_conf() { echo "-Xmx1g" >>"$INSTALL_DIR/conf/$1"; }
conf_edited() { [ "$(tail -n 1 "$INSTALL_DIR/conf/$1" 2>/dev/null)" = "-Xmx1g" ]; }

# After a removal only the files of conf\ the operator edited stay (the
# package never installed them; RemoveUneditedConf removes the others); the
# test then deletes them, as an operator would.
check_removed() {
  local code="$1"
  shift
  check_service_gone
  expect_eq "of the install directory only the edited files of conf\\ are left" \
    "$(printf 'conf/%s\n' "$@" | grep -v '^conf/$' | LC_ALL=C sort)" \
    "$(cd "$INSTALL_DIR" 2>/dev/null && find . -type f | sed 's|^\./||' | LC_ALL=C sort)"
  rm -rf "$INSTALL_DIR"
  check "product is no longer registered" not key_exists "$UNINSTALL_KEY\\$code"
}

# Where earlier versions held files of conf\ and a copy of the executable
# aside, under names any account could make first: below the temporary
# folders of SYSTEM and of the user msiexec runs as. Each gets a folder with a
# file where a held copy went, and a link to a folder of the test's; nothing
# of them may change, nor anything they point to.
STAGING_NAMES=(Merivast-MerivastService-conf-kept Merivast-MerivastService-conf-removed
               Merivast-MerivastService-conf-executable)
plant_staging() {
  local temp name
  mkdir -p "$TMP/elsewhere"
  printf 'planted\r\n' >"$TMP/elsewhere/0"
  PLANTED=("$TMP/elsewhere")
  for temp in "$DRIVE_C/windows/temp" "$(wine_run winepath -u "$(wine_run cmd /c echo %TEMP%)")"; do
    mkdir -p "$temp"
    for name in "${STAGING_NAMES[@]}"; do
      rm -rf "${temp:?}/$name"
      if [ "$name" = Merivast-MerivastService-conf-removed ]; then
        ln -s "$TMP/elsewhere" "$temp/$name"
      else
        mkdir "$temp/$name"
        printf -- '-javaagent:planted.jar\r\n' >"$temp/$name/0"
      fi
      PLANTED+=("$temp/$name")
    done
  done
}
# Names, sizes and dates of everything planted; of files also the time they
# were last read (a read after their creation moves it under relatime).
planted_state() {
  find "${PLANTED[@]}" \( -type f -printf '%p %s %T@ %C@ %A@\n' \) -o -printf '%p %y %l %T@ %C@\n' 2>&1
}

cleanup_hook() {
  rm -rf ${PLANTED[@]+"${PLANTED[@]}"}
  [ -n "${UPGRADE_MSI:-}" ] && msiexec_run /x "$UPGRADE_MSI" || true
  msiexec_run /x "$MSI" || true
  [ "$ARCH" = x64 ] && msiexec_run /x "$OTHER_MSI" || true
  remove_leftovers
  rm -rf "$INSTALL_DIR"
  [ "$ARCH" = x64 ] && rm -rf "$DRIVE_C/Program Files (x86)/MerivastService" || true
}
cleanup_hook

CODE="$(product_code "$MSI")"

echo "== no temporary folder"
objdump="$([ "$ARCH" = x64 ] && echo x86_64 || echo i686)-w64-mingw32-objdump"
"$objdump" -p "$TREE/installer/MerivastInstallActions.dll" >"$TMP/imports.txt" || fail "cannot read the DLL's imports"
check "the custom actions' DLL imports no GetTempPath: it never looks for a temporary folder" \
  not grep -q 'GetTempPath' "$TMP/imports.txt"
check "(it does import what it uses)" grep -q 'CopyFileW' "$TMP/imports.txt"

echo "== dependencies the installer refuses, before anything changes"
# list|what the launch condition says
while IFS='|' read -r list says; do
  check "msiexec /i SERVICEDEPENDENCIES=$list is refused" \
    not msiexec_run /i "$MSI" "SERVICEDEPENDENCIES=$list" /l*v "Z:${TMP//\//\\}\\refused.log"
  check "it says why: $says" grep -qaF "SERVICEDEPENDENCIES \"$list\" $says" "$TMP/refused.log"
  check "no service was created" not service_known
done <<'LISTS'
a\b|is not a list of services the installer takes: each name 1 to 256 characters
Tcpip//Dnscache|is not a list of services the installer takes
two words|is not a list of services the installer takes
merivastservice|names MerivastService itself: a service cannot depend on itself
LISTS
check "the product is not registered" not key_exists "$UNINSTALL_KEY\\$(product_code "$MSI")"

echo "== default install"
check "msiexec /i succeeds" msiexec_run /i "$MSI"
check "product is registered" key_exists "$UNINSTALL_KEY\\$CODE"
if [ "$ARCH" = x64 ]; then
  check "it is registered as a 64-bit product" not key_exists "$UNINSTALL_KEY\\$CODE" /reg:32
fi
check_service_entry "$INSTALLED_EXE" "$DEFAULT_ACCOUNT"
expect_eq "recovery actions: restart after 10 s, 30 s, then every 60 s; reset after a day" \
  "REG_BINARY $FAILURE_ACTIONS_HEX" "$(reg_value "$SERVICE_KEY" FailureActions)"
expect_eq "user-defined controls for SYSTEM and Administrators only, the rest of Windows' default kept" \
  "$RESTRICTED_SERVICE_DACL" "$(service_dacl)"
expect_eq "no dependencies" "" "$(reg_value "$SERVICE_KEY" DependOnService)"
expect_eq "none remembered" "REG_SZ /" "$(reg_value "$MEMORY_KEY" ServiceDependencies)"
check_installed_files

echo "== repair"
# Wine's msiexec /f takes neither a package nor a product code; REINSTALL=ALL
# is the same repair. Mode "a" reinstalls every file, whatever is there.
edit_conf jvm.options
rm -f "$INSTALL_DIR/lib/merivast-agent.jar" "$INSTALL_DIR/conf/log4j.properties"
check "msiexec /i REINSTALL=ALL REINSTALLMODE=amus succeeds" \
  msiexec_run /i "$MSI" REINSTALL=ALL REINSTALLMODE=amus
check "the edited conf\\jvm.options stays" conf_edited jvm.options
check "the deleted conf\\log4j.properties is the package's again" \
  cmp -s "$TREE/conf/log4j.properties" "$INSTALL_DIR/conf/log4j.properties"
check_installed_files conf/jvm.options
check_service_entry "$INSTALLED_EXE" "$DEFAULT_ACCOUNT"

echo "== uninstall"
check "msiexec /x succeeds" msiexec_run /x "$MSI"
check_removed "$CODE" jvm.options

echo "== a removal that fails after taking the unedited files of conf\\ away"
FAILING_MSI="$TMP/failing.msi"
with_failure "$MSI" "$FAILING_MSI" || fail "cannot make the failing package"
check "msiexec /i the package succeeds" msiexec_run /i "$FAILING_MSI"
# What else a rollback restores (the product's registration, files it
# replaced) is Windows Installer's; Wine's reinstalls from the package.
check "msiexec /x failing after RemoveUneditedConf fails" \
  not msiexec_run /x "$FAILING_MSI" MVTFAIL=1 /l*v "Z:${TMP//\//\\}\\removal.log"
check "its rollback put the unedited file back" grep -qaF "conf\\log4j.properties: the package's default, placed." "$TMP/removal.log"
check "the unedited conf\\log4j.properties is back" cmp -s "$TREE/conf/log4j.properties" "$INSTALL_DIR/conf/log4j.properties"
msiexec_run /x "$FAILING_MSI"
check_removed "$CODE"

for account in 'NT AUTHORITY\LocalService' LocalSystem; do
  echo "== install under $account"
  check "msiexec /i SERVICEACCOUNT=$account succeeds" msiexec_run /i "$MSI" "SERVICEACCOUNT=$account"
  expect_eq "service account comes from SERVICEACCOUNT" "REG_SZ $account" \
    "$(reg_value "$SERVICE_KEY" ObjectName)"
  check "msiexec /x succeeds" msiexec_run /x "$MSI"
  check_removed "$CODE"
done

# The same tree packaged as 9.8.7, by a copy of scripts/package.
UP="$TMP/up"
copy_packaging_root "$UP"
sed "s/^project(MerivastService VERSION [0-9.]*/project(MerivastService VERSION 9.8.7/" \
  "$ROOT/CMakeLists.txt" >"$UP/CMakeLists.txt"
if SOURCE_DATE_EPOCH=1700000000 "$UP/scripts/package" >"$TMP/package.log" 2>&1; then
  UPGRADE_MSI="$UP/dist/MerivastService-9.8.7-$ARCH.msi"
  UPGRADE_CODE="$(product_code "$UPGRADE_MSI")"

  echo "== major upgrade, which keeps the account and the dependencies, then a refused downgrade"
  check "msiexec /i $VERSION SERVICEACCOUNT=LocalService SERVICEDEPENDENCIES=... succeeds" \
    msiexec_run /i "$MSI" 'SERVICEACCOUNT=NT AUTHORITY\LocalService' 'SERVICEDEPENDENCIES=Tcpip/MSSQL$SQLEXPRESS'
  expect_eq "the service depends on them" 'REG_MULTI_SZ Tcpip\0MSSQL$SQLEXPRESS' "$(reg_value "$SERVICE_KEY" DependOnService)"
  plant_staging
  planted_before="$(planted_state)"
  edit_conf jvm.options
  check "a repair without them succeeds" msiexec_run /i "$MSI" REINSTALL=ALL
  expect_eq "it keeps them" 'REG_MULTI_SZ Tcpip\0MSSQL$SQLEXPRESS' "$(reg_value "$SERVICE_KEY" DependOnService)"
  check "msiexec /i 9.8.7 over it succeeds" msiexec_run /i "$UPGRADE_MSI" /l*v "Z:${TMP//\//\\}\\upgrade.log"
  check "it removed the old version before it installed a file" \
    test "$(grep -an 'Action start .*: RemoveExistingProducts\.' "$TMP/upgrade.log" | head -n 1 | cut -d: -f1)" \
      -lt "$(grep -an 'Action start .*: InstallFiles\.' "$TMP/upgrade.log" | head -n 1 | cut -d: -f1)"
  check "the old product is gone" not key_exists "$UNINSTALL_KEY\\$CODE"
  expect_eq "the new product is registered" "REG_SZ 9.8.7" \
    "$(reg_value "$UNINSTALL_KEY\\$UPGRADE_CODE" DisplayVersion)"
  check "the edited conf\\jvm.options stays" conf_edited jvm.options
  check_service_entry "$INSTALLED_EXE" 'NT AUTHORITY\LocalService'
  expect_eq "the dependencies stay" 'REG_MULTI_SZ Tcpip\0MSSQL$SQLEXPRESS' "$(reg_value "$SERVICE_KEY" DependOnService)"
  check "a repair with SERVICEDEPENDENCIES=/ succeeds" msiexec_run /i "$UPGRADE_MSI" REINSTALL=ALL SERVICEDEPENDENCIES=/
  expect_eq "it clears them" "" "$(reg_value "$SERVICE_KEY" DependOnService)"
  expect_eq "and remembers none" "REG_SZ /" "$(reg_value "$MEMORY_KEY" ServiceDependencies)"
  check_installed_files conf/jvm.options
  check "msiexec /i $VERSION over 9.8.7 is refused" not msiexec_run /i "$MSI"
  check "9.8.7 stays registered" key_exists "$UNINSTALL_KEY\\$UPGRADE_CODE"
  check "the service stays" key_exists "$SERVICE_KEY"
  check "msiexec /x 9.8.7 succeeds" msiexec_run /x "$UPGRADE_MSI"
  check_removed "$UPGRADE_CODE" jvm.options
  expect_eq "nothing planted where files were once held aside was written, read or moved" \
    "$planted_before" "$(planted_state)"

  echo "== an account with a password: kept by a repair, asked for again by an upgrade"
  check "msiexec /i SERVICEACCOUNT=.\\merivast SERVICEPASSWORD=... succeeds" \
    msiexec_run /i "$MSI" 'SERVICEACCOUNT=.\merivast' SERVICEPASSWORD=s3cret
  expect_eq "service account" "REG_SZ .\\merivast" "$(reg_value "$SERVICE_KEY" ObjectName)"
  expect_eq "the account is remembered" "REG_SZ .\\merivast" "$(reg_value "$MEMORY_KEY" ServiceAccount)"
  expect_eq "and that it had a password" "REG_SZ 1" "$(reg_value "$MEMORY_KEY" ServicePasswordGiven)"
  check "but not the password" not grep -q s3cret <<<"$(wine_run reg query "$MEMORY_KEY" "${REG_VIEW[@]}")"
  # The default mode (omus): the row without a password replaces the one with
  # it, and the executable must stay; then the reverse.
  check "a repair without the password succeeds" msiexec_run /i "$MSI" REINSTALL=ALL
  expect_eq "it keeps the account" "REG_SZ .\\merivast" "$(reg_value "$SERVICE_KEY" ObjectName)"
  expect_eq "and remembers the password was given" "REG_SZ 1" "$(reg_value "$MEMORY_KEY" ServicePasswordGiven)"
  check "the executable is still there" cmp -s "$TREE/MerivastService.exe" "$INSTALL_DIR/MerivastService.exe"
  check "a repair with the password succeeds" msiexec_run /i "$MSI" REINSTALL=ALL SERVICEPASSWORD=s3cret
  check "the executable is still there" cmp -s "$TREE/MerivastService.exe" "$INSTALL_DIR/MerivastService.exe"
  check_service_entry "$INSTALLED_EXE" '.\merivast'
  check "msiexec /i 9.8.7 without the password is refused" not msiexec_run /i "$UPGRADE_MSI"
  check "$VERSION stays registered" key_exists "$UNINSTALL_KEY\\$CODE"
  check "msiexec /i 9.8.7 SERVICEPASSWORD=... succeeds" msiexec_run /i "$UPGRADE_MSI" SERVICEPASSWORD=s3cret
  check_service_entry "$INSTALLED_EXE" '.\merivast'
  check "msiexec /x 9.8.7 succeeds" msiexec_run /x "$UPGRADE_MSI"
  check_removed "$UPGRADE_CODE"
  check "the memory goes with the package" not key_exists "$MEMORY_KEY"
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
  rm -rf "$DRIVE_C/Program Files (x86)/MerivastService"
  echo "== x64 installed, then x86"
  check "msiexec /i x64 succeeds" msiexec_run /i "$MSI"
  check "msiexec /i x86 is refused" not msiexec_run /i "$OTHER_MSI"
  check "nothing went to Program Files (x86)" not test -e "$DRIVE_C/Program Files (x86)/MerivastService"
  check_service_entry "$INSTALLED_EXE" "$DEFAULT_ACCOUNT"
  check "msiexec /x x64 succeeds" msiexec_run /x "$MSI"
  check_removed "$CODE"
fi

finish
