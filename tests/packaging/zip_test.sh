#!/usr/bin/env bash
# The zip for copy deployments: one top folder (MerivastService-<version>/ for
# x86, MerivastService-<version>-x64/ for x64) that holds exactly the tree of its
# architecture (dist/ or dist/x64/), jre/README.txt, the two scripts, the
# DLL install.cmd sets the preshutdown time with, and README.md, with the same
# contents, and the scripts (preset to the architecture) and note with CRLF
# line ends.
# Usage: zip_test.sh <source root> [x86|x64]   (dist/ as scripts/package left it)
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
setup_common "$@"
[ -f "$ZIP" ] || { echo "$ZIP is missing (scripts/package)"; exit 1; }

TOP="$ZIP_TOP"
listing="$(unzip -Z1 "$ZIP")" || { echo "cannot list $ZIP"; exit 1; }

outside="$(grep -v "^$TOP/" <<<"$listing")"
expect_eq "every entry is under $TOP/" "" "$outside"

expected="$( { printf '%s\n' MerivastService.exe MerivastInstallActions.dll README.md install.cmd uninstall.cmd \
                 jre/README.txt conf/log4j.properties conf/jvm.options
               (cd "$TREE" && find lib -type f); } | LC_ALL=C sort)"
actual="$(sed -n "s|^$TOP/||p" <<<"$listing" | grep -v -e '/$' -e '^$' | LC_ALL=C sort)"
expect_eq "files in the zip" "$expected" "$actual"

mkdir -p "$TMP/x"
unzip -q "$ZIP" -d "$TMP/x" || fail "cannot unpack $ZIP"
X="$TMP/x/$TOP"
differs=""
for f in MerivastService.exe conf/log4j.properties conf/jvm.options $(cd "$TREE" && find lib -type f); do
  cmp -s "$TREE/$f" "$X/$f" || differs+=" $f"
done
cmp -s "$ROOT/README.md" "$X/README.md" || differs+=" README.md"
cmp -s "$TREE/installer/MerivastInstallActions.dll" "$X/MerivastInstallActions.dll" ||
  differs+=" MerivastInstallActions.dll"
expect_eq "files match the $ARCH tree and the repository's README.md" "" "$differs"
expect_eq "the executable is the $ARCH build" "$(expected_machine)" "$(pe_machine "$X/MerivastService.exe")"

crlf_only() { [ -s "$1" ] && ! grep -q $'[^\r]$' "$1" && ! grep -q $'^$' "$1"; }
same_text() { cmp -s <(tr -d '\r' <"$1") <(tr -d '\r' <"$2" | sed "s/^set \"PACKAGE_ARCH=x86\"\$/set \"PACKAGE_ARCH=$ARCH\"/"); }
for f in install.cmd uninstall.cmd; do
  check "$f has CRLF line ends" crlf_only "$X/$f"
  check "$f is packaging/$f" same_text "$X/$f" "$ROOT/packaging/$f"
  check "the tree's $f is the same file" cmp -s "$TREE/$f" "$X/$f"
done
NOTE="$X/jre/README.txt"
check "jre/README.txt has CRLF line ends" crlf_only "$NOTE"
check "jre/README.txt is the tree's" cmp -s "$TREE/jre/README.txt" "$NOTE"
check "jre/README.txt holds no template tags or comments" not grep -qE '^(x86\||x64\||#)' "$NOTE"
if [ "$ARCH" = x64 ]; then
  check "jre/README.txt asks for a 64-bit runtime" grep -qF 'loads a 64-bit (x64) Java runtime' "$NOTE"
  check "jre/README.txt names the server VM's place" grep -qF 'jre\bin\server\jvm.dll' "$NOTE"
else
  check "jre/README.txt asks for a 32-bit runtime" grep -qF 'loads a 32-bit (x86) Java runtime' "$NOTE"
  check "jre/README.txt names the client VM's place" grep -qF 'jre\bin\client\jvm.dll' "$NOTE"
  check "jre/README.txt names the server VM's place" grep -qF 'jre\bin\server\jvm.dll' "$NOTE"
fi

finish
