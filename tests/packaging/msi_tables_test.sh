#!/usr/bin/env bash
# What the MSI does that Wine cannot show, read from its tables: the rights on
# logs\ (Wine's msi ignores the permission table); the one service row, with
# no password (Wine's msi passes an empty Password as an empty string, Windows
# Installer documents nothing either way, so only a null column is sure to
# reach CreateService as no password); the custom action that sets the
# service's settings (and a given password, kept out of the log) at once, and
# the account's memory; conf\ left to the operator; the upgrade's order, no
# commit action and no Wine-only row; the architecture, and how this package
# keeps out of the way of the other architecture's.
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
# Columns: action, type, source, target. 11265 = DLL from the Binary table
# (1), deferred (1024), without impersonation (2048), its data kept out of the
# log (8192, msidbCustomActionTypeHideTarget); the property that carries the
# data too (MsiHiddenProperties).
expect_eq "ConfigureService: the Binary table's DLL, deferred, elevated, its data hidden" \
  $'ConfigureService\t11265\tInstallActions\tConfigureService' "$(rows CustomAction | grep -P '^ConfigureService\t' | cut -f1-4)"
expect_eq "its data: the service's name, the services it depends on and a given password, set hidden" \
  $'8243\tConfigureService\tMerivastService;[SERVICEDEPENDENCIES];[SERVICEPASSWORD]' \
  "$(rows CustomAction | grep -P '^ConfigureServiceData\t' | cut -f2-4)"
check "the data's property is hidden" has_item "$(property MsiHiddenProperties)" ConfigureService
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

echo "== conf\\: the operator's; the package's own files in defaults\\"
# Nothing is installed into conf\. Every file of the tree's conf\ is the key
# path of a component of its own in defaults\, removed with the package like
# every other (not permanent, 16).
dir_of() { rows Directory | awk -F'\t' -v p="$1" -v n="$2" '$2 == p && $3 == n { print $1 }'; }
check "no folder conf\\ in the package" test -z "$(dir_of INSTALLDIR conf)"
defaults_files="$(rows File | awk -F'\t' '{ print $2 "\t" $3 }' | while IFS=$'\t' read -r c name; do
                    rows Component | awk -F'\t' -v c="$c" -v d="$(dir_of INSTALLDIR defaults)" -v n="${name#*|}" \
                      '$1 == c && $3 == d { print n "|" int($4 / 16) % 2 "|" ($6 != "") }'
                  done | LC_ALL=C sort)"
expect_eq "each file of conf\\ in defaults\\, not permanent, as its component's key path" \
  "$(cd "$TREE/conf" && for f in *; do echo "$f|0|1"; done | LC_ALL=C sort)" "$defaults_files"
conf_list="$(cd "$TREE/conf" && ls | LC_ALL=C sort | paste -sd'|')"
ca() { rows CustomAction | awk -F'\t' -v a="$1" '$1 == a { print $2 "|" $3 "|" $4 }'; }
condition() { rows InstallExecuteSequence | awk -F'\t' -v a="$1" '$1 == a { print $2 }'; }
# action|type|source|target|condition. 3073 = the Binary table's DLL (1),
# deferred (1024), elevated (2048); 3393 = + rollback (256) + return ignored (64).
expect_eq "a default copied where conf\\ lacks its file, an unedited file removed at a removal, each the other's rollback" \
"PlaceDefaultConfAtRollback|3393|InstallActions|PlaceDefaultConf|
RemoveUneditedConf|3073|InstallActions|RemoveUneditedConf|REMOVE~=\"ALL\"
RemoveUneditedConfAtRollback|3393|InstallActions|RemoveUneditedConf|NOT REMOVE~=\"ALL\"
PlaceDefaultConf|3073|InstallActions|PlaceDefaultConf|NOT REMOVE~=\"ALL\"" \
  "$(for a in PlaceDefaultConfAtRollback RemoveUneditedConf RemoveUneditedConfAtRollback PlaceDefaultConf; do
       echo "$a|$(ca "$a")|$(condition "$a")"; done)"
for a in PlaceDefaultConfAtRollback RemoveUneditedConf RemoveUneditedConfAtRollback PlaceDefaultConf; do
  expect_eq "$a's data: the install folder and the files" "[INSTALLDIR]|$conf_list" \
    "$(ca "${a}Data" | cut -d'|' -f3-)"
done
check "the removal's actions before RemoveFiles, the rollback first" \
  test "$(sequence PlaceDefaultConfAtRollback)" -lt "$(sequence RemoveUneditedConf)" -a \
       "$(sequence RemoveUneditedConf)" -lt "$(sequence RemoveFiles)"
check "PlaceDefaultConf after InstallFiles, its rollback first" \
  test "$(sequence InstallFiles)" -lt "$(sequence RemoveUneditedConfAtRollback)" -a \
       "$(sequence RemoveUneditedConfAtRollback)" -lt "$(sequence PlaceDefaultConf)"
# Microsoft's RollbackDisabled page: commit actions do not run when rollback
# is disabled. Type bits 1024 (in script) + 512 (commit) without 256.
expect_eq "no commit action: nothing depends on rollback being enabled" "" \
  "$(rows CustomAction | awk -F'\t' 'int($2 / 1024) % 2 && int($2 / 512) % 2 && !(int($2 / 256) % 2) { print $1 }')"

echo "== an upgrade removes the old version before anything else; the service is stopped and waited for first"
# Microsoft's RemoveExistingProducts page: "After the InstallInitialize action
# and before any actions that generate execution script".
rep="$(sequence RemoveExistingProducts)"
expect_eq "RemoveExistingProducts is the first action after InstallInitialize" "RemoveExistingProducts" \
  "$(rows InstallExecuteSequence | awk -F'\t' -v i="$(sequence InstallInitialize)" '$3 > i' | sort -t$'\t' -k3 -n | head -n 1 | cut -f1)"
check "the service is started again only after it" test "$(sequence StartServiceAgain)" -gt "$rep"
check "no action of Windows Installer's own registration (Wine's needs it kept)" \
  not grep -q KeepUpgradeCode <<<"$(rows CustomAction)"
expect_eq "StopServiceAndWait: deferred, elevated, with the service and its folder, at every run" \
  "3073|InstallActions|StopServiceAndWait|2099|StopServiceAndWait|MerivastService|[INSTALLDIR]|" \
  "$(ca StopServiceAndWait)|$(ca StopServiceAndWaitData)|$(condition StopServiceAndWait)"
check "after InstallInitialize and before StopServices, so before any file changes" \
  test "$(sequence StopServiceAndWait)" -gt "$(sequence InstallInitialize)" -a \
       "$(sequence StopServiceAndWait)" -lt "$(sequence StopServices)"
expect_eq "a service that ran is started again after ConfigureService, and at a rollback" \
  "1|InstallActions|NoteRunningService|3073|InstallActions|StartServiceAgain|3393|InstallActions|StartServiceAgain" \
  "$(ca NoteRunningService)|$(ca StartServiceAgain)|$(ca UndoStopServiceAndWait)"
check "NoteRunningService before InstallInitialize, StartServiceAgain after ConfigureService" \
  test "$(sequence NoteRunningService)" -lt "$(sequence InstallInitialize)" -a \
       "$(sequence StartServiceAgain)" -gt "$(sequence ConfigureService)"

echo "== nothing for Wine alone"
# The service manager's own settings come from ConfigureService; values for
# its key are written by it only where the service manager does not keep them.
expect_eq "no value of the service's own key in the Registry table" "" \
  "$(rows Registry | awk -F'\t' '$3 ~ /Services\\MerivastService$/ { print $4 }')"

secure="$(property SecureCustomProperties)"
check "SERVICEACCOUNT passes to an elevated install" has_item "$secure" SERVICEACCOUNT
check "SERVICEPASSWORD passes to an elevated install" has_item "$secure" SERVICEPASSWORD
check "SERVICEDEPENDENCIES passes to an elevated install" has_item "$secure" SERVICEDEPENDENCIES
check "wixl's upgrade properties stay secure" has_item "$secure" WIX_UPGRADE_DETECTED
check "the other package's detection is secure" has_item "$secure" OTHERARCHPRODUCT
check "SERVICEPASSWORD stays out of logs" has_item "$(property MsiHiddenProperties)" SERVICEPASSWORD

echo "== the account: no password in the service row, and remembered"
# Columns: key, name, display name, type, start, error control, group,
# dependencies, account, password, arguments, component, description.
expect_eq "one service row, the executable's, its Password column null" \
  "MerivastService|[SERVICEACCOUNT]||ServiceExe" \
  "$(rows ServiceInstall | awk -F'\t' '{ print $2 "|" $9 "|" $10 "|" $12 }')"
expect_eq "its component installed whatever is given, the executable its key path" "|MerivastServiceExe" \
  "$(rows Component | awk -F'\t' '$1 == "ServiceExe" { print $5 "|" $6 }')"
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
expect_eq "AppSearch reads the remembered account, whether it had a password, the folder and the dependencies" \
  "REMEMBEREDACCOUNT|2|$memory_key|ServiceAccount|$((expected_bits == 64 ? 18 : 2))
REMEMBEREDDEPENDENCIES|2|$memory_key|ServiceDependencies|$((expected_bits == 64 ? 18 : 2))
REMEMBEREDINSTALLDIR|2|$memory_key|InstallDir|$((expected_bits == 64 ? 18 : 2))
REMEMBEREDPASSWORDGIVEN|2|$memory_key|ServicePasswordGiven|$((expected_bits == 64 ? 18 : 2))" \
  "$(rows AppSearch | LC_ALL=C sort | while IFS=$'\t' read -r p sig; do
       rows RegLocator | awk -F'\t' -v p="$p" -v s="$sig" '$1 == s { print p "|" $2 "|" $3 "|" $4 "|" $5 }'
     done)"
expect_eq "the package writes them there, and no password" \
  "$memory_key\\|InstallDir|[INSTALLDIR]|ServiceRegistration
$memory_key\\|ServiceAccount|[SERVICEACCOUNT]|ServiceRegistration
$memory_key\\|ServiceDependencies|[SERVICEDEPENDENCIES]|ServiceRegistration
$memory_key\\|ServicePasswordGiven|[PASSWORDGIVEN]|ServiceRegistration" \
  "$(rows Registry | awk -F'\t' '$3 ~ /^SOFTWARE/ { print $3 "|" $4 "|" $5 "|" $6 }' | LC_ALL=C sort)"
check "no registry value holds SERVICEPASSWORD" not grep -q SERVICEPASSWORD <<<"$(rows Registry)"
expect_eq "an upgrade that needs the password again is refused without it" \
  "MerivastService runs under [SERVICEACCOUNT], whose password the installer does not keep. Give it again with SERVICEPASSWORD, or name another account with SERVICEACCOUNT." \
  "$(rows LaunchCondition | awk -F'\t' '$1 == "Installed OR PASSWORDGIVEN <> \"1\" OR SERVICEPASSWORD" { print $2 }')"

finish
