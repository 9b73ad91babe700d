#!/usr/bin/env bash
# What the MSI does only on Windows, read from its tables: Wine's msi reports
# VersionMsi 4.5 and skips MsiConfigureServices, and ignores the permission
# table, so the Wine tests cannot see these rows take effect; the
# architecture, and how this package keeps out of the way of the other
# architecture's.
# Usage: msi_tables_test.sh <source root> [x86|x64]   (dist/ as scripts/package left it)
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
setup_common "$@"
[ -f "$MSI" ] || { echo "$MSI is missing (scripts/package)"; exit 1; }
[ -f "$OTHER_MSI" ] || { echo "$OTHER_MSI is missing (scripts/package)"; exit 1; }

# rows <table> [package]: the table's rows, without its three header lines.
rows() { msiinfo export "${2:-$MSI}" "$1" 2>/dev/null | tail -n +4 | tr -d '\r'; }
property() { rows Property "${2:-$MSI}" | awk -F'\t' -v p="$1" '$1 == p { print $2 }'; }
sequence() { rows InstallExecuteSequence | awk -F'\t' -v a="$1" '$1 == a { print $3 }'; }
has_item() { tr ';' '\n' <<<"$1" | grep -qxF "$2"; }
component_guid() { rows Component "$1" | awk -F'\t' '$1 == "ServiceExe" { print $2 }'; }

echo "== architecture"
if [ "$ARCH" = x64 ]; then
  expect_eq "64-bit package" "Template: x64;1033" "$(msiinfo suminfo "$MSI" | grep '^Template:')"
  expect_eq "installs under ProgramFiles64Folder" ProgramFiles64Folder \
    "$(rows Directory | awk -F'\t' '$1 == "INSTALLDIR" { print $2 }')"
  expected_bits=64
else
  expect_eq "32-bit package" "Template: Intel;1033" "$(msiinfo suminfo "$MSI" | grep '^Template:')"
  expect_eq "installs under ProgramFilesFolder" ProgramFilesFolder \
    "$(rows Directory | awk -F'\t' '$1 == "INSTALLDIR" { print $2 }')"
  expected_bits=32
fi
# Attribute 256 (msidbComponentAttributes64bit): files and registry values in
# the native 64-bit locations.
expect_eq "every component is $expected_bits-bit" "$expected_bits" \
  "$(rows Component | awk -F'\t' '{ print (int($4 / 256) % 2) ? 64 : 32 }' | sort -u)"

echo "== the other architecture's package"
# Both install the service MerivastService: separate products, each refusing
# to install while the other is there (any version of it).
check "an UpgradeCode of its own" \
  test "$(property UpgradeCode)" != "$(property UpgradeCode "$OTHER_MSI")"
check "a service component of its own" \
  test "$(component_guid "$MSI")" != "$(component_guid "$OTHER_MSI")"
# Columns: upgrade code, minimum, maximum, language, attributes, remove, property.
# Attributes 258 = only detect + minimum inclusive.
expect_eq "the other package is detected, any version, not removed" \
  "$(property UpgradeCode "$OTHER_MSI")"$'\t0.0.0\t\t\t258\t\tOTHERARCHPRODUCT' \
  "$(rows Upgrade | grep -P '\tOTHERARCHPRODUCT$')"
expect_eq "it blocks a new install, but not a removal" "Installed OR NOT OTHERARCHPRODUCT" \
  "$(rows LaunchCondition | grep OTHERARCHPRODUCT | cut -f1)"

echo "== Windows-only rows"

# Columns: name, event, reset period, reboot message, command, actions, delays, component.
expect_eq "failure actions: restart after 10 s, twice, then none; reset after a day" \
  $'MerivastService\t5\t86400\t\t\t1[~]1[~]0\t10000[~]10000[~]0\tServiceExe' \
  "$(rows MsiServiceConfigFailureActions | cut -f2-)"
# Columns: name, event (5 = install and reinstall), config type, argument, component.
service_config() { rows MsiServiceConfig | awk -F'\t' -v t="$1" '$4 == t { print $2 "/" $3 "/" $5 "/" $6 }'; }
expect_eq "delayed automatic start (type 3)" "MerivastService/5/1/ServiceExe" "$(service_config 3)"
expect_eq "failure actions also for non-zero exit codes (type 4)" "MerivastService/5/1/ServiceExe" "$(service_config 4)"
expect_eq "service SID unrestricted (type 5)" "MerivastService/5/1/ServiceExe" "$(service_config 5)"
expect_eq "preshutdown time 30,000 ms (type 7)" "MerivastService/5/30000/ServiceExe" "$(service_config 7)"
expect_eq "no other service settings" 4 "$(rows MsiServiceConfig | wc -l)"

configure="$(sequence MsiConfigureServices)"
check "MsiConfigureServices runs after InstallServices" \
  test "${configure:-0}" -gt "$(sequence InstallServices)"
check "MsiConfigureServices runs before StartServices" \
  test "${configure:-99999}" -lt "$(sequence StartServices)"

echo "== account and rights"
expect_eq "the service SID of TrustedInstaller is Windows' own" \
  "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464" \
  "$("$ROOT/scripts/service-sid" TrustedInstaller)"
SERVICE_SID="$("$ROOT/scripts/service-sid" "$SERVICE")"
# Columns: key, lock object, table, SDDL, condition.
expect_eq "logs\\ only: modify for the service SID, full control for SYSTEM and Administrators" \
  $'LOGSDIR\tCreateFolder\tD:AI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1301bf;;;'"$SERVICE_SID"$')\t' \
  "$(rows MsiLockPermissionsEx | cut -f2-)"
expect_eq "logs\\ is INSTALLDIR\\logs" $'LOGSDIR\tINSTALLDIR\tlogs' "$(rows Directory | grep -P '^LOGSDIR\t')"
expect_eq "the installer creates logs\\" $'LOGSDIR\tLogsDir' "$(rows CreateFolder)"
check "CreateFolders runs, so the rights are set" test -n "$(sequence CreateFolders)"
expect_eq "no other object gets rights of its own" "" "$(rows LockPermissions)"

echo "== conf\\jvm.options"
# Attributes: 16 permanent + 128 never overwrite (+ 256 for 64-bit).
expect_eq "its component is permanent and never overwritten" "$((144 + (expected_bits == 64 ? 256 : 0)))" \
  "$(rows Component | awk -F'\t' '$1 == "JvmOptions" { print $4 }')"
expect_eq "the component holds the file, as its key path" $'JvmOptionsFile\tJvmOptions\tjvm.options' \
  "$(rows File | grep -P '\tjvm\.options\t' | cut -f1-3)"
expect_eq "the component lives in conf\\" $'CONFDIR\tINSTALLDIR\tconf' "$(rows Directory | grep -P '^CONFDIR\t')"

echo "== service key values and when they are written"
# Written after InstallServices: Wine's service manager writes its own
# PreshutdownTimeout when it creates the service.
check "WriteRegistryValues runs after InstallServices" \
  test "$(sequence WriteRegistryValues)" -gt "$(sequence InstallServices)"
registry_value() { rows Registry | awk -F'\t' -v n="$1" '$3 ~ /Services\\MerivastService$/ && $4 == n { print $5 }'; }
expect_eq "DelayedAutostart" "#1" "$(registry_value DelayedAutostart)"
expect_eq "ServiceSidType" "#1" "$(registry_value ServiceSidType)"
expect_eq "PreshutdownTimeout" "#30000" "$(registry_value PreshutdownTimeout)"

secure="$(property SecureCustomProperties)"
check "SERVICEACCOUNT passes to an elevated install" has_item "$secure" SERVICEACCOUNT
check "SERVICEPASSWORD passes to an elevated install" has_item "$secure" SERVICEPASSWORD
check "wixl's upgrade properties stay secure" has_item "$secure" WIX_UPGRADE_DETECTED
check "the other package's detection is secure" has_item "$secure" OTHERARCHPRODUCT
check "SERVICEPASSWORD stays out of logs" has_item "$(property MsiHiddenProperties)" SERVICEPASSWORD
expect_eq "default account: the service's own virtual account" "$DEFAULT_ACCOUNT" "$(property SERVICEACCOUNT)"
expect_eq "the service is created under SERVICEACCOUNT" '[SERVICEACCOUNT]' \
  "$(rows ServiceInstall | awk -F'\t' '{ print $9 }')"

finish
