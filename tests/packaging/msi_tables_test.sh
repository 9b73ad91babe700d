#!/usr/bin/env bash
# What the MSI does only on Windows, read from its tables: Wine's msi reports
# VersionMsi 4.5 and skips MsiConfigureServices, so the Wine tests cannot see
# these rows take effect.
# Usage: msi_tables_test.sh <source root>   (dist/ as scripts/package left it)
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
setup_common "$1"
[ -f "$MSI" ] || { echo "$MSI is missing (scripts/package)"; exit 1; }

# rows <table>: the table's rows, without its three header lines.
rows() { msiinfo export "$MSI" "$1" 2>/dev/null | tail -n +4 | tr -d '\r'; }
property() { rows Property | awk -F'\t' -v p="$1" '$1 == p { print $2 }'; }
sequence() { rows InstallExecuteSequence | awk -F'\t' -v a="$1" '$1 == a { print $3 }'; }
has_item() { tr ';' '\n' <<<"$1" | grep -qxF "$2"; }

expect_eq "32-bit package" "Template: Intel;1033" "$(msiinfo suminfo "$MSI" | grep '^Template:')"

# Columns: name, event, reset period, reboot message, command, actions, delays, component.
expect_eq "failure actions: restart after 10 s, twice, then none; reset after a day" \
  $'MerivastService\t5\t86400\t\t\t1[~]1[~]0\t10000[~]10000[~]0\tServiceExe' \
  "$(rows MsiServiceConfigFailureActions | cut -f2-)"
# Columns: name, event, config type (4 = failure actions flag), argument, component.
expect_eq "failure actions also for non-zero exit codes" \
  $'MerivastService\t5\t4\t1\tServiceExe' "$(rows MsiServiceConfig | cut -f2-)"

configure="$(sequence MsiConfigureServices)"
check "MsiConfigureServices runs after InstallServices" \
  test "${configure:-0}" -gt "$(sequence InstallServices)"
check "MsiConfigureServices runs before StartServices" \
  test "${configure:-99999}" -lt "$(sequence StartServices)"

secure="$(property SecureCustomProperties)"
check "SERVICEACCOUNT passes to an elevated install" has_item "$secure" SERVICEACCOUNT
check "SERVICEPASSWORD passes to an elevated install" has_item "$secure" SERVICEPASSWORD
check "wixl's upgrade properties stay secure" has_item "$secure" WIX_UPGRADE_DETECTED
check "SERVICEPASSWORD stays out of logs" has_item "$(property MsiHiddenProperties)" SERVICEPASSWORD
expect_eq "default account" "LocalSystem" "$(property SERVICEACCOUNT)"

finish
