#!/usr/bin/env bash
# Applications shipped with scripts/package --app, under Wine's msiexec: two
# applications side by side (two services, two event sources, two install
# folders, one of them given as INSTALLDIR), both started and stopped; one
# upgraded from 1.0 to 1.1, which renames its jar, keeps an edited file of
# conf\ and updates an unedited one, and keeps its folder; a refused
# downgrade; one removed while the other runs. Each application brings its
# runtime (the stand-in) in jre\. The identity in the packages' tables is
# checked too. The upgrade runs while the service runs, with a stop.timeout
# of 40 s and a serviceStop that takes 35 s (Windows Installer's own wait is
# 30 s, Wine's none): the installer waits for the stop, the old version is
# removed, and then the new version starts with its own jar alone on its
# class path. Before it, an upgrade that fails before it changes anything,
# and one whose removal of the old version fails, leave the old version
# installed and running; the last removal is of a running service. Last, an
# executable jar (main.jar) packaged and run on a real JVM (the bridge
# runtime), answering HTTP.
# Usage: apps_test.sh <source root> <x86|x64> <build dir>
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
setup_common "$1" "$2"
BUILD="$3"
need_wine

UNINSTALL_KEY='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall'
VM_DIR=client
[ "$ARCH" = x64 ] && VM_DIR=server
R="$TMP/root"
copy_packaging_root "$R"

# app <folder> <jar> [conf file text...]: an application folder with the
# stand-in runtime of this architecture; conf files as "name=text".
app() {
  local dir="$1" jar="$2" file
  shift 2
  mkdir -p "$dir/lib" "$dir/conf" "$dir/jre/bin/$VM_DIR"
  cp "$jar" "$dir/lib/"
  cp "$BUILD/tests/standin/plain/jvm.dll" "$dir/jre/bin/$VM_DIR/jvm.dll"
  for file in "$@"; do
    printf '%s' "${file#*=}" >"$dir/conf/${file%%=*}"
  done
}
# ship <folder> <name> <version> [options...]: its packages in $TMP/out-<name>-<version>.
ship() {
  local dir="$1" name="$2" version="$3"
  shift 3
  SOURCE_DATE_EPOCH=1700000000 "$R/scripts/package" --app "$dir" --name "$name" --version "$version" \
    --manufacturer "Merivast Tests" --arch "$ARCH" --out "$TMP/out-$name-$version" "$@" \
    >"$TMP/package-$name-$version.log" 2>&1 ||
    { echo "packaging $name $version failed: $(tail -n 5 "$TMP/package-$name-$version.log")" >&2; exit 1; }
  echo "$TMP/out-$name-$version/$name-$version-$ARCH.msi"
}

HTTP_JAR="$BUILD/agent/http-sample/http-sample.jar"
app "$TMP/one" "$DIST/lib/merivast-agent.jar" "log4j.properties=$(cat "$DIST/conf/log4j.properties")"
# 1.0's service.properties has CR-only line ends, as some editors write them:
# the packaging check, the service and the installer's stop wait read it alike.
app "$TMP/two-1.0" "$HTTP_JAR" $'service.properties=main.class=org.example.http.HttpSample\rstop.timeout=40\r' \
  $'main.args=18080\r\nhello\r\n'
app "$TMP/two-1.1" "$HTTP_JAR" $'service.properties=main.class=org.example.http.HttpSample\r\nstop.timeout=45\r\n' \
  $'main.args=18081\r\nhello again\r\n'
ONE="$(ship "$TMP/one" MvtShipOne 1.0 --display-name "Merivast ship test one" \
        --description "The first test application")" || exit 1
TWO="$(ship "$TMP/two-1.0" MvtShipTwo 1.0)" || exit 1
# 1.1's jar has another name, as a new version's often has.
mv "$TMP/two-1.1/lib/http-sample.jar" "$TMP/two-1.1/lib/http-sample-1.1.jar"
TWO_NEW="$(ship "$TMP/two-1.1" MvtShipTwo 1.1)" || exit 1
# 1.0 installed from a package whose removal fails when the test asks.
with_failure "$TWO" "$TMP/two-1.0-failing.msi" || { echo "cannot make the failing package" >&2; exit 1; }
TWO="$TMP/two-1.0-failing.msi"

ONE_DIR="$DRIVE_C/$PROGRAM_FILES/MvtShipOne"
ONE_EXE="C:\\$PROGRAM_FILES\\MvtShipOne\\MerivastService.exe"
TWO_DIR="$DRIVE_C/Mvt Ship/Two"
TWO_WIN_DIR='C:\Mvt Ship\Two'
TWO_EXE="$TWO_WIN_DIR\\MerivastService.exe"

rows() { msiinfo export "$1" "$2" 2>/dev/null | tail -n +4 | tr -d '\r'; }
property() { rows "$1" Property | awk -F'\t' -v p="$2" '$1 == p { print $2 }'; }
product_code() { property "$1" ProductCode; }
msiexec_run() {
  local action="$1" msi="$2"; shift 2
  wine_run msiexec "$action" "Z:${msi//\//\\}" /qn "$@" >/dev/null
}
# wait_state <state>: the current service's state becomes it within 30 s.
wait_state() {
  local i
  for ((i = 0; i < 60; i++)); do
    [ "$(service_state)" = "$1" ] && return 0
    sleep 0.5
  done
  return 1
}
# installed_left <msi> <folder>: the files of the package's zip (the same tree
# as the MSI's) that are still in the folder; what the service wrote (logs\,
# the stand-in's records) is not the package's.
installed_left() {
  local zip="${1%.msi}.zip"
  unzip -Z1 "$zip" | grep -v '/$' | sed 's|^[^/]*/||' | grep -vx -e install.cmd -e uninstall.cmd -e README.md |
    while IFS= read -r f; do [ ! -e "$2/$f" ] || echo "$f"; done
}
cleanup_hook() {
  for msi in "$ONE" "$TWO" "$TWO_NEW" ${JAR_MSI:+"$JAR_MSI"}; do msiexec_run /x "$msi" || true; done
  for name in MvtShipOne MvtShipTwo MvtShipJar; do use_service "$name"; remove_leftovers; done
  rm -rf "$ONE_DIR" "$DRIVE_C/Mvt Ship" "$DRIVE_C/$PROGRAM_FILES/MvtShipTwo" "$DRIVE_C/$PROGRAM_FILES/MvtShipJar"
}
cleanup_hook

echo "== identity in the tables"
expect_eq "the display name and description are the service's" \
  $'MvtShipOne\tMerivast ship test one\tThe first test application' \
  "$(rows "$ONE" ServiceInstall | awk -F'\t' '$12 == "ServiceExe" { print $2 "\t" $3 "\t" $13 }')"
expect_eq "and the product's, with its manufacturer" "Merivast ship test one|Merivast Tests|1.0" \
  "$(property "$ONE" ProductName)|$(property "$ONE" Manufacturer)|$(property "$ONE" ProductVersion)"
expect_eq "without a display name, the service's name stands for it" "MvtShipTwo" "$(property "$TWO" ProductName)"
expect_eq "the install folder is named after the service" "MvtShipTwo" \
  "$(rows "$TWO" Directory | awk -F'\t' '$1 == "INSTALLDIR" { print $3 }')"
expect_eq "one application's versions share an upgrade code" "$(property "$TWO" UpgradeCode)" \
  "$(property "$TWO_NEW" UpgradeCode)"
check "another application has another" test "$(property "$ONE" UpgradeCode)" != "$(property "$TWO" UpgradeCode)"
check "and so has the sample" test "$(property "$ONE" UpgradeCode)" != "$(property "$MSI" UpgradeCode)"
check "no component of one is a component of the other" \
  test -z "$(comm -12 <(rows "$ONE" Component | cut -f2 | sort) <(rows "$TWO" Component | cut -f2 | sort))"
expect_eq "logs\\ is granted to the application's own service SID" \
  "$("$ROOT/scripts/service-sid" MvtShipTwo)" \
  "$(rows "$TWO" MsiLockPermissionsEx | cut -f4 | sed 's/.*0x1301bf;;;\([^)]*\)).*/\1/')"

echo "== two applications side by side"
check "msiexec /i MvtShipOne 1.0 succeeds" msiexec_run /i "$ONE"
check "msiexec /i MvtShipTwo 1.0 INSTALLDIR=\"C:\\Mvt Ship\\Two\" succeeds" \
  msiexec_run /i "$TWO" 'INSTALLDIR=C:\Mvt Ship\Two'
use_service MvtShipOne
check_service_entry "$ONE_EXE" "$DEFAULT_ACCOUNT"
expect_eq "its display name" "REG_SZ Merivast ship test one" "$(reg_value "$SERVICE_KEY" DisplayName)"
expect_eq "its runtime came with it" "$(cat "$BUILD/tests/standin/plain/jvm.dll" | md5sum)" \
  "$(md5sum <"$ONE_DIR/jre/bin/$VM_DIR/jvm.dll")"
use_service MvtShipTwo
check_service_entry "$TWO_EXE" "$DEFAULT_ACCOUNT"
expect_eq "Apps & features names its version and publisher" "REG_SZ 1.0|REG_SZ Merivast Tests" \
  "$(reg_value "$UNINSTALL_KEY\\$(product_code "$TWO")" DisplayVersion)|$(reg_value "$UNINSTALL_KEY\\$(product_code "$TWO")" Publisher)"
# The stand-in reads its scenario at each start: MvtShipTwo 1.0's stop
# takes 35 s.
printf 'pause.stop=35000\r\n' >"$TWO_DIR/standin-scenario.txt"
for name in MvtShipOne MvtShipTwo; do
  use_service "$name"
  wine_run sc start "$name" >/dev/null
  check "$name starts" wait_state RUNNING
done
use_service MvtShipOne
# Wine's sc has no control verb: the DLL's SendControl sends a thread dump's.
send_control() {
  local status=0
  wine_run rundll32 "Z:${TREE//\//\\}\\installer\\MerivastInstallActions.dll,SendControl" "$@" >/dev/null ||
    status=$?
  echo "$status"
}
expect_eq "rundll32 MerivastInstallActions.dll,SendControl MvtShipOne 255 ends with 10" 10 \
  "$(send_control MvtShipOne 255)"
thread_dump() { compgen -G "$ONE_DIR/logs/threaddump-*.txt" >/dev/null; }
for ((i = 0; i < 40; i++)); do thread_dump && break; sleep 0.25; done
check "the service wrote a thread dump" thread_dump
expect_eq "SendControl MvtShipOne 12 (not a user-defined control) ends with 1" 1 "$(send_control MvtShipOne 12)"
wine_run sc stop MvtShipOne >/dev/null
check "MvtShipOne stops" wait_state STOPPED
expect_eq "with exit code 0" "0" "$(wine_run sc query MvtShipOne | sed -n 's/^ *WIN32_EXIT_CODE *: *\([0-9]*\).*/\1/p')"
use_service MvtShipTwo
check "MvtShipTwo runs on" wait_state RUNNING

echo "== upgrades that fail leave the old version installed and running"
with_failure "$TWO_NEW" "$TMP/two-failing.msi" || fail "cannot make the failing package"
check "msiexec /i MvtShipTwo 1.1, failing after InstallValidate, fails" \
  not msiexec_run /i "$TMP/two-failing.msi" MVTFAIL=1
check_old_version_runs() {
  check "1.0 stays registered" key_exists "$UNINSTALL_KEY\\$(product_code "$TWO")"
  check "1.1 is not" not key_exists "$UNINSTALL_KEY\\$(product_code "$TWO_NEW")"
  check "MvtShipTwo runs on" wait_state RUNNING
  expect_eq "its account stays" "REG_SZ $DEFAULT_ACCOUNT" "$(reg_value "$SERVICE_KEY" ObjectName)"
  expect_eq "it is 1.0's: its jar and no other" "http-sample.jar" "$(ls "$TWO_DIR/lib")"
}
check_old_version_runs
upgrade_failing_old_removal() {
  MVT_FAIL_OLD_REMOVAL=1 "$WINE" msiexec /i "Z:${TMP//\//\\}\\two-failing.msi" /qn >/dev/null 2>>"$WINE_LOG"
}
check "msiexec /i MvtShipTwo 1.1 whose removal of 1.0 fails, fails" not upgrade_failing_old_removal
check_old_version_runs

echo "== an upgrade of the running service: 1.0 removed first, then 1.1 started alone; an edited file of conf\\ stays, an unedited one is the new version's"
printf 'edited by the operator\r\n' >>"$TWO_DIR/conf/main.args"
cp "$TWO_DIR/conf/main.args" "$TMP/edited-main.args"
# 1.1's, started by the upgrade, takes 3 s.
printf 'pause.stop=3000\r\n' >"$TWO_DIR/standin-scenario.txt"
started=$SECONDS
check "msiexec /i MvtShipTwo 1.1 succeeds (0: no file in use, no restart needed)" \
  msiexec_run /i "$TWO_NEW" /l*v "Z:${TMP//\//\\}\\upgrade.log"
check "it waited for the stop, 35 s" test $((SECONDS - started)) -ge 35
check "the old version's serviceStop ran to its end" grep -q "LEAVE serviceStop" "$TWO_DIR/standin-record.txt"
check "the new version runs" wait_state RUNNING
action_line() { grep -an "Action start .*: $1\." "$TMP/upgrade.log" | head -n 1 | cut -d: -f1; }
check "the old version was removed before the service was started again" \
  test "$(action_line RemoveExistingProducts)" -lt "$(action_line StartServiceAgain)"
expect_eq "its first start had the new jar alone on its class path" \
  "-Djava.class.path=${TWO_WIN_DIR}\\lib\\http-sample-1.1.jar" \
  "$(grep -ao -- '-Djava.class.path=.*' "$TWO_DIR/standin-record.txt" | tail -n 1 | tr -d '\r')"
expect_eq "lib\\ holds the new jar alone" "http-sample-1.1.jar" "$(ls "$TWO_DIR/lib")"
check "the edited conf\\main.args stays" cmp -s "$TMP/edited-main.args" "$TWO_DIR/conf/main.args"
check "the unedited conf\\service.properties is 1.1's" \
  cmp -s "$TMP/two-1.1/conf/service.properties" "$TWO_DIR/conf/service.properties"
check "it stays in its folder" test -f "$TWO_DIR/MerivastService.exe"
check "and goes nowhere else" not test -e "$DRIVE_C/$PROGRAM_FILES/MvtShipTwo"
expect_eq "1.1 is registered" "REG_SZ 1.1" "$(reg_value "$UNINSTALL_KEY\\$(product_code "$TWO_NEW")" DisplayVersion)"
check "1.0 is not" not key_exists "$UNINSTALL_KEY\\$(product_code "$TWO")"
wine_run sc stop MvtShipTwo >/dev/null
check "MvtShipTwo stops" wait_state STOPPED
check_service_entry "$TWO_EXE" "$DEFAULT_ACCOUNT"

echo "== a downgrade is refused"
check "msiexec /i MvtShipTwo 1.0 over 1.1 fails" not msiexec_run /i "$TWO"
check "1.1 stays registered" key_exists "$UNINSTALL_KEY\\$(product_code "$TWO_NEW")"

echo "== one application removed while the other runs"
wine_run sc start MvtShipTwo >/dev/null
check "MvtShipTwo starts" wait_state RUNNING
check "msiexec /x MvtShipOne succeeds" msiexec_run /x "$ONE"
use_service MvtShipOne
check_service_gone
expect_eq "nothing it installed is left (nothing of it was edited)" "" "$(installed_left "$ONE" "$ONE_DIR")"
use_service MvtShipTwo
check "MvtShipTwo runs on" wait_state RUNNING
check "its event source stays" key_exists "$EVENT_KEY"
check "msiexec /x MvtShipTwo 1.1 while it runs succeeds" msiexec_run /x "$TWO_NEW"
check_service_gone
expect_eq "of what it installed only the edited conf\\main.args is left" "conf/main.args" \
  "$(installed_left "$TWO_NEW" "$TWO_DIR")"

echo "== an executable jar (main.jar) packaged and run on a real JVM"
# The HTTP sample with a manifest naming its class, run through the JDK's
# launcher helper, which only a real runtime has: the bridge runtime of this
# architecture in jre\bin\client, which runs it on this machine's JVM.
mkdir -p "$TMP/jar/lib" "$TMP/jar/conf" "$TMP/jar/jre/bin/client" "$TMP/jar-classes"
(cd "$TMP/jar-classes" && unzip -q "$HTTP_JAR")
jar --create --file "$TMP/jar/lib/orders.jar" --main-class org.example.http.HttpSample -C "$TMP/jar-classes" .
cp "$BUILD/tests/bridge/jvm.dll" "$BUILD/tests/bridge/merivast-bridge.jar" "$TMP/jar/jre/bin/client/"
printf 'java=%s\r\n' "$(readlink -f "$(command -v java)")" >"$TMP/jar/jre/bin/client/bridge.properties"
printf 'main.jar=lib/orders.jar\r\nstart.ready=main-returned\r\n' >"$TMP/jar/conf/service.properties"
printf '18093\r\nfrom a jar\r\n' >"$TMP/jar/conf/main.args"
JAR_MSI="$(ship "$TMP/jar" MvtShipJar 1.0)" || exit 1
use_service MvtShipJar
check "msiexec /i MvtShipJar succeeds" msiexec_run /i "$JAR_MSI"
wine_run sc start MvtShipJar >/dev/null
check "it runs" wait_state RUNNING
expect_eq "the jar's Main-Class answers" 'HttpSample answers with arguments ["18093", "from a jar"]' \
  "$(curl -sf --max-time 10 http://127.0.0.1:18093/)"
wine_run sc stop MvtShipJar >/dev/null
check "it stops" wait_state STOPPED
check "msiexec /x MvtShipJar succeeds" msiexec_run /x "$JAR_MSI"
check_service_gone

finish
