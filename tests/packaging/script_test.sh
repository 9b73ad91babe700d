#!/usr/bin/env bash
# scripts/package, run in a copy of the source tree: it replaces earlier outputs
# of any version, keeps them out of the zip, takes the version from
# CMakeLists.txt, and refuses to run without a built dist/.
# Usage: script_test.sh <source root>   (dist/ as scripts/build left it)
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
setup_common "$1"

R="$TMP/root"
mkdir -p "$R/scripts" "$R/dist"
cp "$ROOT/scripts/package" "$R/scripts/"
cp -R "$ROOT/packaging" "$ROOT/README.md" "$ROOT/CMakeLists.txt" "$R/"
cp -R "$DIST/MerivastService.exe" "$DIST/lib" "$DIST/conf" "$R/dist/"

package() { "$R/scripts/package" >"$TMP/package.log" 2>&1; }
outputs() { (cd "$R/dist" && ls -1d MerivastService-*-x86.* install.cmd uninstall.cmd jre 2>/dev/null | LC_ALL=C sort); }
set_version() {
  sed -i "s/^project(MerivastService VERSION [0-9.]*/project(MerivastService VERSION $1/" "$R/CMakeLists.txt"
}
zip_listing() { unzip -Z1 "$R/dist/MerivastService-$1-x86.zip" | LC_ALL=C sort; }
zip_has() { zip_listing "$1" | grep -qxF "$2"; }

echo "== stale outputs of an earlier version"
set_version 0.0.9
check "package 0.0.9" package
touch "$R/dist/jre/stale.txt"
set_version "$VERSION"
check "package $VERSION over it" package
expect_eq "only this version's outputs are left" \
  "$(printf '%s\n' "MerivastService-$VERSION-x86.msi" "MerivastService-$VERSION-x86.zip" \
       install.cmd uninstall.cmd jre | LC_ALL=C sort)" "$(outputs)"
expect_eq "jre/ holds only the note" "README.txt" "$(ls "$R/dist/jre")"
first="$(zip_listing "$VERSION")"
expect_eq "the zip holds no package and no file from before" "" \
  "$(grep -E '\.(msi|zip)$|stale' <<<"$first")"

echo "== packaging again"
check "package $VERSION again" package
expect_eq "the zip lists the same entries" "$first" "$(zip_listing "$VERSION")"
expect_eq "the package has the project's version" "$VERSION" \
  "$(msiinfo export "$R/dist/MerivastService-$VERSION-x86.msi" Property |
     awk -F'\t' '$1 == "ProductVersion" { print $2 }' | tr -d '\r')"

echo "== another version"
set_version 2.3.4
check "package 2.3.4" package
check "the zip's top folder carries the version" \
  zip_has 2.3.4 MerivastService-2.3.4/MerivastService.exe
expect_eq "the package has the new version" "2.3.4" \
  "$(msiinfo export "$R/dist/MerivastService-2.3.4-x86.msi" Property |
     awk -F'\t' '$1 == "ProductVersion" { print $2 }' | tr -d '\r')"
check "no $VERSION outputs are left" not test -e "$R/dist/MerivastService-$VERSION-x86.msi"

echo "== without a built dist/"
rm "$R/dist/MerivastService.exe"
check "package fails" not package
check "it says to run scripts/build" grep -q "scripts/build" "$TMP/package.log"

finish
