# Sourced by the packaging tests: checks that record failures and go on, and
# Wine helpers for the registry and the service manager.
#
# The tests run in the Wine session the caller started (scripts/test exports
# WINEPREFIX); they never start or stop the session themselves. Each test takes
# the packages of one architecture, x86 or x64 (its second argument); the x64
# ones need a win64 prefix.

# use_service <name>: the service the checks below look at, its keys, and the
# account both installers give it unless told otherwise: its own virtual
# account.
use_service() {
  SERVICE="$1"
  DEFAULT_ACCOUNT="NT SERVICE\\$1"
  SERVICE_KEY="HKLM\\SYSTEM\\CurrentControlSet\\Services\\$1"
  EVENT_KEY="HKLM\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\$1"
}
use_service MerivastService
# SERVICE_FAILURE_ACTIONS: reset 86400 s, no reboot message, no command, three
# actions: restart after 10000 ms, after 30000 ms, then after 60000 ms (which
# Windows repeats).
FAILURE_ACTIONS_HEX=8051010000000000000000000300000000000000$(printf '01000000%s' 10270000 30750000 60EA0000)

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
pass() { echo "ok:   $*"; }
# check <description> <command...>
check() {
  local what="$1"; shift
  if "$@"; then pass "$what"; else fail "$what"; fi
}
# expect_eq <description> <expected> <actual>
expect_eq() {
  if [ "$2" = "$3" ]; then pass "$1"; else fail "$1: expected [$2], got [$3]"; fi
}
finish() {
  if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed"
    [ -z "${WINE_LOG:-}" ] || { echo "--- wine stderr (last 40 lines)"; tail -n 40 "$WINE_LOG"; }
    exit 1
  fi
  echo "all checks passed"
}

# setup_common <source root> [x86|x64]: the packages of that architecture
# (x86 if not given) and the tree they were made from.
setup_common() {
  ROOT="$1"
  ARCH="${2:-x86}"
  DIST="$ROOT/dist"
  VERSION="$(sed -n 's/^project(MerivastService VERSION \([0-9][0-9.]*\).*/\1/p' "$ROOT/CMakeLists.txt")"
  [ -n "$VERSION" ] || { echo "no project version in $ROOT/CMakeLists.txt"; exit 1; }
  case "$ARCH" in
    x86) TREE="$DIST";     OTHER_ARCH=x64; ZIP_TOP="MerivastService-$VERSION" ;;
    x64) TREE="$DIST/x64"; OTHER_ARCH=x86; ZIP_TOP="MerivastService-$VERSION-x64" ;;
    *) echo "architecture must be x86 or x64, not [$ARCH]"; exit 1 ;;
  esac
  MSI="$DIST/MerivastService-$VERSION-$ARCH.msi"
  ZIP="$DIST/MerivastService-$VERSION-$ARCH.zip"
  OTHER_MSI="$DIST/MerivastService-$VERSION-$OTHER_ARCH.msi"
  TMP="$(mktemp -d)"
  trap 'cleanup_hook; rm -rf "$TMP"' EXIT
}
cleanup_hook() { :; }

# copy_packaging_root <dir>: what scripts/package needs, copied to <dir>, so
# it can run there: its scripts, packaging/, README.md, CMakeLists.txt and
# both built trees of dist/.
copy_packaging_root() {
  mkdir -p "$1/scripts" "$1/dist/x64"
  cp "$ROOT/scripts/package" "$ROOT/scripts/service-sid" "$1/scripts/"
  cp -R "$ROOT/packaging" "$ROOT/README.md" "$ROOT/CMakeLists.txt" "$1/"
  cp -R "$DIST/MerivastService.exe" "$DIST/installer" "$DIST/lib" "$DIST/conf" "$1/dist/"
  cp -R "$DIST/x64/MerivastService.exe" "$DIST/x64/installer" "$DIST/x64/lib" "$DIST/x64/conf" "$1/dist/x64/"
}

# pe_machine <exe>: the PE header's machine field, 014c (i386) or 8664 (x86-64).
pe_machine() {
  local header
  header="$(od -An -tu4 -j60 -N4 "$1" | tr -d ' ')" || return 1
  od -An -tx2 -j$((header + 4)) -N2 "$1" | tr -d ' '
}
expected_machine() { if [ "$ARCH" = x64 ]; then echo 8664; else echo 014c; fi; }

need_wine() {
  if [ -z "${WINEPREFIX:-}" ] || [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "WINEPREFIX must name the prefix of a running Wine session (scripts/test starts one)"
    exit 1
  fi
  WINE_LOG="$TMP/wine-stderr.log"
  : >"$WINE_LOG"
  DRIVE_C="$WINEPREFIX/drive_c"
  WINE=wine
  REG_VIEW=()
  PROGRAM_FILES="Program Files"
  if [ -d "$DRIVE_C/windows/syswow64" ]; then
    [ "$ARCH" = x64 ] || PROGRAM_FILES="Program Files (x86)"
  elif [ "$ARCH" = x64 ]; then
    echo "the x64 packages need a win64 prefix (WINEARCH=win64); $WINEPREFIX is a win32 one"
    exit 1
  fi
  if [ "$ARCH" = x64 ]; then
    # /usr/bin/wine starts Wine's own programs (msiexec, cmd, sc, reg) as
    # 32-bit ones, also in a win64 prefix; the 64-bit loader starts the native
    # ones, as an operator's prompt on 64-bit Windows does. Registry values are
    # read from the 64-bit view.
    WINE="$(command -v wine64 || echo /usr/lib/wine/wine64)"
    REG_VIEW=(/reg:64)
  fi
}

# not_started <status> <stdout file> <stderr file>: under load Wine now and
# then fails to start a program at all ("failed to map the shared user data",
# or a failure with no word on either stream); such a run is tried once more.
# Every path of the scripts and tools run here that fails says why.
not_started() {
  [ "$1" != 0 ] || return 1
  grep -qF "failed to map the shared user data" "$3" && return 0
  [ ! -s "$2" ] && [ ! -s "$3" ]
}

# wine_run <command...>: runs under Wine; stdout without CRs, Wine's stderr to
# the log; returns the command's exit status.
wine_run() {
  local status=0
  "$WINE" "$@" 2>"$TMP/wine-err" >"$TMP/wine-out" </dev/null || status=$?
  if not_started "$status" "$TMP/wine-out" "$TMP/wine-err"; then
    status=0
    "$WINE" "$@" 2>"$TMP/wine-err" >"$TMP/wine-out" </dev/null || status=$?
  fi
  cat "$TMP/wine-err" >>"$WINE_LOG"
  tr -d '\r' <"$TMP/wine-out"
  return "$status"
}

# reg_value <key> <name>: prints "<type> <data>", nothing if there is no such value.
reg_value() {
  wine_run reg query "$1" /v "$2" "${REG_VIEW[@]}" 2>/dev/null |
    sed -n "s/^    $2    \(REG_[A-Z_]*\)    \(.*\)\$/\1 \2/p"
}
# key_exists <key> [/reg:32|/reg:64]: in the given view, else in REG_VIEW.
key_exists() {
  if [ $# -gt 1 ]; then
    wine_run reg query "$1" "$2" >/dev/null
  else
    wine_run reg query "$1" "${REG_VIEW[@]}" >/dev/null
  fi
}
# A service that exists always has a state: an empty answer is an sc that did
# not run, asked once more.
service_state() {
  local state="" attempt
  for attempt in 1 2; do
    state="$(wine_run sc query "$SERVICE" | sed -n 's/^ *STATE *: *[0-9]* *\([A-Z_]*\).*/\1/p')"
    [ -n "$state" ] && break
  done
  echo "$state"
}

# The parts of a service entry every install must produce; $1 is the
# expected image path (without quotes), $2 the account. The values past Start
# are what Wine's service manager reads when it starts (as Windows' does at
# boot): it keeps none of them through the API, so the installers' custom
# action writes them there.
check_service_entry() {
  local image="$1" account="$2"
  expect_eq "service type is own process" "REG_DWORD 0x10" "$(reg_value "$SERVICE_KEY" Type)"
  expect_eq "service starts automatically" "REG_DWORD 0x2" "$(reg_value "$SERVICE_KEY" Start)"
  expect_eq "automatic start is delayed" "REG_DWORD 0x1" "$(reg_value "$SERVICE_KEY" DelayedAutostart)"
  expect_eq "preshutdown time is 30,000 ms" "REG_DWORD 0x7530" "$(reg_value "$SERVICE_KEY" PreshutdownTimeout)"
  expect_eq "service SID under any account (unrestricted)" "REG_DWORD 0x1" \
    "$(reg_value "$SERVICE_KEY" ServiceSidType)"
  expect_eq "service error control is normal" "REG_DWORD 0x1" "$(reg_value "$SERVICE_KEY" ErrorControl)"
  local path
  path="$(reg_value "$SERVICE_KEY" ImagePath | sed 's/^REG_[A-Z_]* //')"
  expect_eq "ImagePath names the installed executable" "$image" "${path//\"/}"
  expect_eq "service account" "$account" "$(reg_value "$SERVICE_KEY" ObjectName | sed 's/^REG_SZ //')"
  expect_eq "service is installed stopped" "STOPPED" "$(service_state)"
  expect_eq "event source message file is the executable" \
    "REG_EXPAND_SZ $image" "$(reg_value "$EVENT_KEY" EventMessageFile)"
  expect_eq "event source supports error, warning, information" \
    "REG_DWORD 0x7" "$(reg_value "$EVENT_KEY" TypesSupported)"
  expect_eq "recovery also on stops with a non-zero exit code" \
    "REG_DWORD 0x1" "$(reg_value "$SERVICE_KEY" FailureActionsOnNonCrashFailures)"
}

not() { ! "$@"; }
service_known() { wine_run sc query "$SERVICE" >/dev/null; }

check_service_gone() {
  check "service key is gone" not key_exists "$SERVICE_KEY"
  check "service manager no longer knows the service" not service_known
  check "event source key is gone" not key_exists "$EVENT_KEY"
}

# Removes whatever an earlier, interrupted run left in the prefix.
remove_leftovers() {
  wine_run sc stop "$SERVICE" >/dev/null || true
  wine_run sc delete "$SERVICE" >/dev/null || true
  wine_run reg delete "$EVENT_KEY" /f >/dev/null || true
}

# with_failure <msi> <copy>: a copy of the package that fails on purpose: an
# install or upgrade right after InstallValidate when MVTFAIL is set (an
# immediate error action, before anything changes); a removal after
# RemoveUneditedConf when MVTFAIL is set (a deferred action without its data,
# so that the removal's script rolls back); and, when the environment has
# MVT_FAIL_OLD_REMOVAL, its removal by a newer version's upgrade, before
# anything of it changes. Wine's msiexec runs that removal as a process of its
# own and goes on when it fails, where Windows Installer fails the upgrade
# (Microsoft's RemoveExistingProducts page): the copy then also fails right
# after RemoveExistingProducts, as Windows Installer would.
with_failure() {
  cp "$1" "$2" && msibuild "$2" \
    -q "INSERT INTO \`CustomAction\` (\`Action\`, \`Type\`, \`Source\`, \`Target\`) VALUES ('FailInstall', 19, '', 'The test makes this install fail.')" \
    -q "INSERT INTO \`InstallExecuteSequence\` (\`Action\`, \`Condition\`, \`Sequence\`) VALUES ('FailInstall', '(MVTFAIL AND NOT REMOVE~=\"ALL\") OR (REMOVE~=\"ALL\" AND %MVT_FAIL_OLD_REMOVAL)', 1450)" \
    -q "INSERT INTO \`CustomAction\` (\`Action\`, \`Type\`, \`Source\`, \`Target\`) VALUES ('FailAfterOldRemoval', 19, '', 'The removal of the old version failed.')" \
    -q "INSERT INTO \`InstallExecuteSequence\` (\`Action\`, \`Condition\`, \`Sequence\`) VALUES ('FailAfterOldRemoval', 'NOT REMOVE~=\"ALL\" AND %MVT_FAIL_OLD_REMOVAL', 1502)" \
    -q "INSERT INTO \`CustomAction\` (\`Action\`, \`Type\`, \`Source\`, \`Target\`) VALUES ('FailRemoval', 3073, 'InstallActions', 'ConfigureService')" \
    -q "INSERT INTO \`InstallExecuteSequence\` (\`Action\`, \`Condition\`, \`Sequence\`) VALUES ('FailRemoval', 'MVTFAIL AND REMOVE~=\"ALL\"', 3470)"
}

# fake_sc <exe>: a stand-in for Windows' sc, for install.cmd's MERIVAST_SC:
# "config" fails as Windows' sc does for an account it refuses (its message,
# exit code 1057); every other verb goes to Wine's sc. With MVT_SC_LOG set,
# each command line goes to that file first, one a line.
fake_sc() {
  cat >"$TMP/fake_sc.c" <<'C'
#include <windows.h>
#include <stdio.h>
#include <wchar.h>
int wmain(int argc, wchar_t** argv) {
    FILE* log = _wgetenv(L"MVT_SC_LOG") ? _wfopen(_wgetenv(L"MVT_SC_LOG"), L"a") : NULL;
    if (log) {
        fprintf(log, "%ls\n", GetCommandLineW());
        fclose(log);
    }
    if (argc > 1 && wcscmp(argv[1], L"config") == 0) {
        printf("[SC] ChangeServiceConfig FAILED 1057:\r\n\r\nThe account name is invalid or does "
               "not exist, or the password is invalid for the account name specified.\r\n");
        return 1057;
    }
    wchar_t line[4096];
    const wchar_t* rest = wcschr(GetCommandLineW() + 1, GetCommandLineW()[0] == L'"' ? L'"' : L' ');
    swprintf(line, 4096, L"sc.exe%ls", rest == NULL ? L"" : rest + (GetCommandLineW()[0] == L'"'));
    STARTUPINFOW si = {sizeof(si)};
    PROCESS_INFORMATION pi;
    DWORD code = 1;
    if (CreateProcessW(NULL, line, NULL, NULL, TRUE, 0, NULL, NULL, &si, &pi)) {
        WaitForSingleObject(pi.hProcess, INFINITE);
        GetExitCodeProcess(pi.hProcess, &code);
    }
    return (int)code;
}
C
  i686-w64-mingw32-gcc -municode -O1 -o "$1" "$TMP/fake_sc.c"
}

# Windows' default security of a new service (sc sdshow of one just created;
# "Service Security and Access Rights"): user-defined controls (CR) for
# SYSTEM, Administrators and the local interactive and service logons; and
# the same with CR for SYSTEM and Administrators only, as both installers
# leave it.
DEFAULT_SERVICE_DACL='D:(A;;CCLCSWRPWPDTLOCRRC;;;SY)(A;;CCDCLCSWRPWPDTLOCRSDRCWDWO;;;BA)(A;;CCLCSWLOCRRC;;;IU)(A;;CCLCSWLOCRRC;;;SU)'
RESTRICTED_SERVICE_DACL="$(sed 's/LOCRRC;;;IU/LORC;;;IU/; s/LOCRRC;;;SU/LORC;;;SU/' <<<"$DEFAULT_SERVICE_DACL")"

# service_dacl: the DACL of SERVICE's security descriptor as SDDL, from the
# value Security of its key's Security subkey, where Windows' service manager
# keeps it (Wine's keeps none and returns an empty DACL); nothing without it.
service_dacl() {
  if [ ! -f "$TMP/service-dacl.exe" ]; then
    cat >"$TMP/service-dacl.c" <<'C'
#include <windows.h>
#include <sddl.h>
#include <stdio.h>
int wmain(int argc, wchar_t** argv) {
    wchar_t key[400];
    BYTE sd[4096];
    DWORD size = sizeof(sd);
    wchar_t* text = NULL;
    swprintf(key, 400, L"SYSTEM\\CurrentControlSet\\Services\\%ls\\Security", argv[1]);
    if (argc < 2 || RegGetValueW(HKEY_LOCAL_MACHINE, key, L"Security", RRF_RT_REG_BINARY, NULL, sd,
                                 &size) != ERROR_SUCCESS ||
        !ConvertSecurityDescriptorToStringSecurityDescriptorW(sd, SDDL_REVISION_1,
                                                              DACL_SECURITY_INFORMATION, &text, NULL)) {
        return 1;
    }
    printf("%ls\n", text);
    return 0;
}
C
    i686-w64-mingw32-gcc -municode -O1 -o "$TMP/service-dacl.exe" "$TMP/service-dacl.c" || return 1
  fi
  wine_run "$TMP/service-dacl.exe" "$SERVICE"
}
