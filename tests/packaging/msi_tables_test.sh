#!/usr/bin/env bash
# What the MSI does that Wine cannot show, read from its tables: the rights on
# logs\ (Wine's msi ignores the permission table); the service row without a
# password (Wine's msi passes an empty Password as an empty string, Windows
# Installer documents nothing either way, so only a null column is sure to
# reach CreateService as no password); the custom action that sets the
# service's settings at once, and the account's memory; the architecture, and
# how this package keeps out of the way of the other architecture's.
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

echo "== the service's settings, set at once by the package's custom action"
# MsiServiceConfig and MsiServiceConfigFailureActions apply only at the next
# boot; ConfigureService calls the service manager instead.
check "no MsiServiceConfig tables" not grep -q '^MsiServiceConfig' <<<"$(msiinfo tables "$MSI")"
# Columns: action, type, source, target. 3073 = DLL from the Binary table (1),
# deferred (1024), without impersonation (2048).
expect_eq "ConfigureService: the Binary table's DLL, deferred, elevated" \
  $'ConfigureService\t3073\tInstallActions\tConfigureService' "$(rows CustomAction | grep -P '^ConfigureService\t' | cut -f1-4)"
expect_eq "its data: the service's name, a preshutdown time of 30,000 ms and the services it depends on" \
  $'ConfigureService\tMerivastService;30000;[SERVICEDEPENDENCIES]' "$(rows CustomAction | grep -P '^ConfigureServiceData\t' | cut -f3-4)"
msiinfo extract "$MSI" Binary.InstallActions >"$TMP/actions.dll" 2>/dev/null
check "the DLL is the $ARCH tree's" cmp -s "$TREE/installer/MerivastInstallActions.dll" "$TMP/actions.dll"
expect_eq "and of the $ARCH build" "$(expected_machine)" "$(pe_machine "$TMP/actions.dll")"
for action in ConfigureServiceData ConfigureService; do
  expect_eq "$action runs at install, repair and upgrade, not at removal" 'NOT REMOVE~="ALL"' \
    "$(rows InstallExecuteSequence | awk -F'\t' -v a="$action" '$1 == a { print $2 }')"
done
configure="$(sequence ConfigureService)"
check "its data is set before it" test "$(sequence ConfigureServiceData)" -lt "$configure"
check "it runs after InstallServices" test "$configure" -gt "$(sequence InstallServices)"
check "and after the registry values, which Wine's service manager would rewrite" \
  test "$configure" -gt "$(sequence WriteRegistryValues)"
check "and before StartServices" test "$configure" -lt "$(sequence StartServices)"

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

echo "== conf\\: the operator's files once installed"
# Every file of conf\ is the key path of a component of its own in conf\,
# permanent: 16 (+ 256 for 64-bit).
conf_dir="$(rows Directory | awk -F'\t' '$2 == "INSTALLDIR" && $3 == "conf" { print $1 }')"
conf_files="$(rows File | awk -F'\t' '{ print $2 "\t" $3 }' | while IFS=$'\t' read -r c name; do
                rows Component | awk -F'\t' -v c="$c" -v d="$conf_dir" -v n="${name#*|}" \
                  '$1 == c && $3 == d { print n "|" $4 "|" ($6 != "") }'
              done | LC_ALL=C sort)"
expect_eq "each, permanent, as its component's key path" \
  "$(cd "$TREE/conf" && for f in *; do echo "$f|$((16 + (expected_bits == 64 ? 256 : 0)))|1"; done | LC_ALL=C sort)" \
  "$conf_files"
# Their MD5s, with which the actions tell an unedited file; an install's also
# the remembered version's.
digests="$(cd "$TREE" && for f in conf/*; do printf '%s*%s|' "${f//\//\\}" "$(md5sum <"$f" | cut -c1-32)"; done | sed 's/|$//')"
ca() { rows CustomAction | awk -F'\t' -v a="$1" '$1 == a { print $2 "|" $3 "|" $4 }'; }
condition() { rows InstallExecuteSequence | awk -F'\t' -v a="$1" '$1 == a { print $2 }'; }
removal='REMOVE~="ALL" AND $ServiceRegistration = 2'
# action|type|source or property|target or data|condition. 3073 = the Binary
# table's DLL (1), deferred (1024), elevated (2048); 3393 = + rollback (256)
# + return ignored (64); 3649 = + commit (512) + return ignored.
expect_eq "conf\\ at a removal that removes the service: moved away, back at a rollback, deleted at the commit" \
"RemoveUneditedConfData|2099|RemoveUneditedConf|MerivastService|[INSTALLDIR]|$digests|$removal
UndoRemoveUneditedConf|3393|InstallActions|RestoreRemovedConf|$removal
RemoveUneditedConf|3073|InstallActions|RemoveUneditedConf|$removal
CommitRemoveUneditedConf|3649|InstallActions|ForgetRemovedConf|$removal" \
  "$(for a in RemoveUneditedConfData UndoRemoveUneditedConf RemoveUneditedConf CommitRemoveUneditedConf; do
       echo "$a|$(ca "$a")|$(condition "$a")"; done)"
expect_eq "conf\\ at an install: edited files kept aside around InstallFiles, also at a rollback" \
"KeepEditedConfData|2099|KeepEditedConf|MerivastService|[INSTALLDIR]|$digests|[REMEMBEREDCONFDIGESTS]|NOT REMOVE~=\"ALL\"
UndoKeepEditedConf|3393|InstallActions|RestoreEditedConf|NOT REMOVE~=\"ALL\"
KeepEditedConf|3073|InstallActions|KeepEditedConf|NOT REMOVE~=\"ALL\"
RestoreEditedConf|3073|InstallActions|RestoreEditedConf|NOT REMOVE~=\"ALL\"" \
  "$(for a in KeepEditedConfData UndoKeepEditedConf KeepEditedConf RestoreEditedConf; do
       echo "$a|$(ca "$a")|$(condition "$a")"; done)"
check "the removal's actions come before RemoveFiles, the rollback before its action" \
  test "$(sequence UndoRemoveUneditedConf)" -lt "$(sequence RemoveUneditedConf)" -a \
       "$(sequence CommitRemoveUneditedConf)" -lt "$(sequence RemoveFiles)"
check "KeepEditedConf before InstallFiles, RestoreEditedConf after it" \
  test "$(sequence UndoKeepEditedConf)" -lt "$(sequence KeepEditedConf)" -a \
       "$(sequence KeepEditedConf)" -lt "$(sequence InstallFiles)" -a \
       "$(sequence RestoreEditedConf)" -gt "$(sequence InstallFiles)"
check "a copy of the executable is kept before RemoveFiles and put back after InstallFiles" \
  test "$(sequence KeepExecutable)" -lt "$(sequence RemoveFiles)" -a \
       "$(sequence RestoreMissingExecutable)" -gt "$(sequence InstallFiles)"
expect_eq "also at a rollback" "3393|InstallActions|RestoreMissingExecutable" "$(ca UndoKeepExecutable)"

echo "== an upgrade removes the old version last; the service is stopped and waited for first"
# After InstallFinalize nothing of the upgrade can fail any more: a failed
# upgrade never reaches the old version's removal.
check "RemoveExistingProducts comes after InstallFinalize" \
  test "$(sequence RemoveExistingProducts)" -gt "$(sequence InstallFinalize)"
expect_eq "then the upgrade code is kept registered (Wine's msi drops it with the old version)" \
  "65|InstallActions|KeepUpgradeCode|WIX_UPGRADE_DETECTED AND NOT Installed" \
  "$(ca KeepUpgradeCode)|$(condition KeepUpgradeCode)"
check "after the removal" test "$(sequence KeepUpgradeCode)" -gt "$(sequence RemoveExistingProducts)"
expect_eq "StopServiceAndWait: deferred, elevated, with the service and its folder" \
  "3073|InstallActions|StopServiceAndWait|2099|StopServiceAndWait|MerivastService|[INSTALLDIR]" \
  "$(ca StopServiceAndWait)|$(ca StopServiceAndWaitData)"
expect_eq "at an install, repair or upgrade, and at a removal that removes the service" \
  "NOT REMOVE~=\"ALL\" OR \$ServiceRegistration = 2" "$(condition StopServiceAndWait)"
check "after InstallInitialize and before StopServices, so before any file changes" \
  test "$(sequence StopServiceAndWait)" -gt "$(sequence InstallInitialize)" -a \
       "$(sequence StopServiceAndWait)" -lt "$(sequence StopServices)"
expect_eq "a service that ran is started again after ConfigureService, and at a rollback" \
  "1|InstallActions|NoteRunningService|3073|InstallActions|StartServiceAgain|3393|InstallActions|StartServiceAgain" \
  "$(ca NoteRunningService)|$(ca StartServiceAgain)|$(ca UndoStopServiceAndWait)"
check "NoteRunningService before InstallInitialize, StartServiceAgain after ConfigureService" \
  test "$(sequence NoteRunningService)" -lt "$(sequence InstallInitialize)" -a \
       "$(sequence StartServiceAgain)" -gt "$(sequence ConfigureService)"

echo "== service key values and when they are written"
# Written after InstallServices: Wine's service manager writes its own
# PreshutdownTimeout when it creates the service.
check "WriteRegistryValues runs after InstallServices" \
  test "$(sequence WriteRegistryValues)" -gt "$(sequence InstallServices)"
registry_value() { rows Registry | awk -F'\t' -v n="$1" '$3 ~ /Services\\MerivastService$/ && $4 == n { print $5 }'; }
expect_eq "DelayedAutostart" "#1" "$(registry_value DelayedAutostart)"
expect_eq "ServiceSidType" "#1" "$(registry_value ServiceSidType)"
expect_eq "no PreshutdownTimeout: ConfigureService sets it, also for Wine" "" "$(registry_value PreshutdownTimeout)"
expect_eq "FailureActions: restart after 10 s, 30 s, then 60 s (repeated); reset after a day" \
  "#x$FAILURE_ACTIONS_HEX" "$(registry_value FailureActions)"

secure="$(property SecureCustomProperties)"
check "SERVICEACCOUNT passes to an elevated install" has_item "$secure" SERVICEACCOUNT
check "SERVICEPASSWORD passes to an elevated install" has_item "$secure" SERVICEPASSWORD
check "SERVICEDEPENDENCIES passes to an elevated install" has_item "$secure" SERVICEDEPENDENCIES
check "wixl's upgrade properties stay secure" has_item "$secure" WIX_UPGRADE_DETECTED
check "the other package's detection is secure" has_item "$secure" OTHERARCHPRODUCT
check "SERVICEPASSWORD stays out of logs" has_item "$(property MsiHiddenProperties)" SERVICEPASSWORD

echo "== the account: no password unless one is given, and remembered"
# Columns: key, name, display name, type, start, error control, group,
# dependencies, account, password, arguments, component, description.
service_row() { rows ServiceInstall | awk -F'\t' -v c="$1" '$12 == c { print $2 "|" $9 "|" $10 }'; }
expect_eq "without a password: the Password column is null" "MerivastService|[SERVICEACCOUNT]|" \
  "$(service_row ServiceExe)"
expect_eq "with one: SERVICEPASSWORD" "MerivastService|[SERVICEACCOUNT]|[SERVICEPASSWORD]" \
  "$(service_row ServiceExeWithPassword)"
expect_eq "no other service row" 2 "$(rows ServiceInstall | wc -l)"
# Each row's component has the executable as its key path; exactly one of them
# is installed, and a repair evaluates the condition again (64, transitive).
component() { rows Component | awk -F'\t' -v c="$1" '$1 == c { print $5 "|" int($4 / 64) % 2 "|" $6 }'; }
file_name() { rows File | awk -F'\t' -v f="$1" '$1 == f { print $3 }'; }
expect_eq "ServiceExe: without SERVICEPASSWORD, transitive" "NOT SERVICEPASSWORD|1|MerivastServiceExe" \
  "$(component ServiceExe)"
expect_eq "ServiceExeWithPassword: with it, transitive" "SERVICEPASSWORD|1|MerivastServiceExeWithPassword" \
  "$(component ServiceExeWithPassword)"
for f in MerivastServiceExe MerivastServiceExeWithPassword; do
  expect_eq "$f is the executable" "MerivastService.exe" "$(file_name "$f" | sed 's/^.*|//')"
done
# The account comes from the command line, else from the memory, else it is
# the virtual account; then whether a password is given. Columns: action,
# type, property, value; all before LaunchConditions.
expect_eq "SERVICEACCOUNT has no value of its own" "" "$(property SERVICEACCOUNT)"
expect_eq "the account's actions, in order" \
"51|UseRememberedPasswordGiven|PASSWORDGIVEN=[REMEMBEREDPASSWORDGIVEN]|NOT SERVICEACCOUNT AND REMEMBEREDACCOUNT AND REMEMBEREDPASSWORDGIVEN
52|UseRememberedAccount|SERVICEACCOUNT=[REMEMBEREDACCOUNT]|NOT SERVICEACCOUNT AND REMEMBEREDACCOUNT
53|UseVirtualAccount|SERVICEACCOUNT=$DEFAULT_ACCOUNT|NOT SERVICEACCOUNT
54|NotePasswordGiven|PASSWORDGIVEN=1|SERVICEPASSWORD" \
  "$(for a in UseRememberedPasswordGiven UseRememberedAccount UseVirtualAccount NotePasswordGiven; do
       rows InstallExecuteSequence | awk -F'\t' -v a="$a" '$1 == a { printf "%s|%s|", $3, $1 }'
       rows CustomAction | awk -F'\t' -v a="$a" '$1 == a { printf "%s=%s|", $3, $4 }'
       rows InstallExecuteSequence | awk -F'\t' -v a="$a" '$1 == a { print $2 }'
     done)"
expect_eq "a repair or an upgrade installs where the service is" \
  "55|INSTALLDIR=[REMEMBEREDINSTALLDIR]|REMEMBEREDINSTALLDIR" \
  "$(sequence UseRememberedInstallDir)|$(rows CustomAction | awk -F'\t' '$1 == "UseRememberedInstallDir" { print $3 "=" $4 }')|$(rows InstallExecuteSequence | awk -F'\t' '$1 == "UseRememberedInstallDir" { print $2 }')"
check "before costing" test 55 -lt "$(sequence CostInitialize)"
expect_eq "the dependencies: the command line's, else the remembered ones, else none, then checked" \
"56|UseRememberedDependencies|SERVICEDEPENDENCIES=[REMEMBEREDDEPENDENCIES]|NOT SERVICEDEPENDENCIES AND REMEMBEREDDEPENDENCIES
57|UseNoDependencies|SERVICEDEPENDENCIES=/|NOT SERVICEDEPENDENCIES
58|CheckDependencies|InstallActions=CheckDependencies|NOT REMOVE~=\"ALL\"" \
  "$(for a in UseRememberedDependencies UseNoDependencies CheckDependencies; do
       rows InstallExecuteSequence | awk -F'\t' -v a="$a" '$1 == a { printf "%s|%s|", $3, $1 }'
       rows CustomAction | awk -F'\t' -v a="$a" '$1 == a { printf "%s=%s|", $3, $4 }'
       rows InstallExecuteSequence | awk -F'\t' -v a="$a" '$1 == a { print $2 }'
     done)"
expect_eq "CheckDependencies is an immediate DLL action" 1 "$(ca CheckDependencies | cut -d'|' -f1)"
expect_eq "a list it refuses stops the installation with the reason" "[DEPENDENCIESREFUSED]" \
  "$(rows LaunchCondition | awk -F'\t' '$1 == "NOT DEPENDENCIESREFUSED" { print $2 }')"
check "LaunchConditions after the check" test "$(sequence LaunchConditions)" -gt 58
expect_eq "no service row names dependencies (ConfigureService sets them)" "" \
  "$(rows ServiceInstall | cut -f8 | sort -u)"
check "INSTALLDIR passes to an elevated install" has_item "$(property SecureCustomProperties)" INSTALLDIR
check "AppSearch runs before them" test "$(sequence AppSearch)" -lt 51
check "LaunchConditions after them" test "$(sequence LaunchConditions)" -gt 54
memory_key='SOFTWARE\MerivastService\Services\MerivastService'
# Columns: property, signature; signature, root, key, name, type (2 = raw, +16 = 64-bit view).
expect_eq "AppSearch reads the remembered account, whether it had a password, the folder, the conf\\ digests and the dependencies" \
  "REMEMBEREDACCOUNT|2|$memory_key|ServiceAccount|$((expected_bits == 64 ? 18 : 2))
REMEMBEREDCONFDIGESTS|2|$memory_key|ConfDigests|$((expected_bits == 64 ? 18 : 2))
REMEMBEREDDEPENDENCIES|2|$memory_key|ServiceDependencies|$((expected_bits == 64 ? 18 : 2))
REMEMBEREDINSTALLDIR|2|$memory_key|InstallDir|$((expected_bits == 64 ? 18 : 2))
REMEMBEREDPASSWORDGIVEN|2|$memory_key|ServicePasswordGiven|$((expected_bits == 64 ? 18 : 2))" \
  "$(rows AppSearch | LC_ALL=C sort | while IFS=$'\t' read -r p sig; do
       rows RegLocator | awk -F'\t' -v p="$p" -v s="$sig" '$1 == s { print p "|" $2 "|" $3 "|" $4 "|" $5 }'
     done)"
expect_eq "the package writes them there, and no password" \
  "$memory_key\\|ConfDigests||$digests|ServiceRegistration
$memory_key\\|InstallDir|[INSTALLDIR]|ServiceRegistration
$memory_key\\|ServiceAccount|[SERVICEACCOUNT]|ServiceRegistration
$memory_key\\|ServiceDependencies|[SERVICEDEPENDENCIES]|ServiceRegistration
$memory_key\\|ServicePasswordGiven|[PASSWORDGIVEN]|ServiceRegistration" \
  "$(rows Registry | awk -F'\t' '$3 ~ /^SOFTWARE/ { print $3 "|" $4 "|" $5 "|" $6 }' | LC_ALL=C sort)"
check "no registry value holds SERVICEPASSWORD" not grep -q SERVICEPASSWORD <<<"$(rows Registry)"
expect_eq "an upgrade that needs the password again is refused without it" \
  "MerivastService runs under [SERVICEACCOUNT], whose password the installer does not keep. Give it again with SERVICEPASSWORD, or name another account with SERVICEACCOUNT." \
  "$(rows LaunchCondition | awk -F'\t' '$1 == "Installed OR PASSWORDGIVEN <> \"1\" OR SERVICEPASSWORD" { print $2 }')"

finish
