#!/usr/bin/env bash
# The zip for copy deployments: one top folder MerivastService-<version>/ that
# holds exactly dist's tree, jre/README.txt, the two scripts and README.md, with
# the same contents, and the scripts and note with CRLF line ends.
# Usage: zip_test.sh <source root>   (dist/ as scripts/package left it)
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
setup_common "$1"
[ -f "$ZIP" ] || { echo "$ZIP is missing (scripts/package)"; exit 1; }

TOP="MerivastService-$VERSION"
listing="$(unzip -Z1 "$ZIP")" || { echo "cannot list $ZIP"; exit 1; }

outside="$(grep -v "^$TOP/" <<<"$listing")"
expect_eq "every entry is under $TOP/" "" "$outside"

expected="$( { printf '%s\n' MerivastService.exe README.md install.cmd uninstall.cmd \
                 jre/README.txt conf/log4j.properties
               (cd "$DIST" && find lib -type f); } | LC_ALL=C sort)"
actual="$(sed -n "s|^$TOP/||p" <<<"$listing" | grep -v -e '/$' -e '^$' | LC_ALL=C sort)"
expect_eq "files in the zip" "$expected" "$actual"

mkdir -p "$TMP/x"
unzip -q "$ZIP" -d "$TMP/x" || fail "cannot unpack $ZIP"
X="$TMP/x/$TOP"
differs=""
for f in MerivastService.exe conf/log4j.properties $(cd "$DIST" && find lib -type f); do
  cmp -s "$DIST/$f" "$X/$f" || differs+=" $f"
done
cmp -s "$ROOT/README.md" "$X/README.md" || differs+=" README.md"
expect_eq "files match dist/ and the repository's README.md" "" "$differs"

crlf_only() { [ -s "$1" ] && ! grep -q $'[^\r]$' "$1" && ! grep -q $'^$' "$1"; }
same_text() { cmp -s <(tr -d '\r' <"$1") <(tr -d '\r' <"$2"); }
for f in install.cmd uninstall.cmd; do
  check "$f has CRLF line ends" crlf_only "$X/$f"
  check "$f is packaging/$f" same_text "$X/$f" "$ROOT/packaging/$f"
  check "dist/$f is the same file" cmp -s "$DIST/$f" "$X/$f"
done
check "jre/README.txt has CRLF line ends" crlf_only "$X/jre/README.txt"
check "jre/README.txt names the runtime's place" grep -qF 'jre\bin\client\jvm.dll' "$X/jre/README.txt"
check "jre/README.txt asks for a 32-bit runtime" grep -qi '32-bit' "$X/jre/README.txt"

finish
