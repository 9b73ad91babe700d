#!/usr/bin/env bash
# Two builds of the source tree (its files as git sees them), in two
# directories of different depth, of only what ships (scripts/build
# --no-tests, both architectures), with the commit's SOURCE_DATE_EPOCH: the
# executables, the jar, the zips and the MSIs must be the same bytes, and so
# must the packages of an application packaged with --app in each; the
# executables must carry no link time and no build directory, and the packages
# the commit's time.
# Usage: reproducible_test.sh <source root>
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
setup_common "$1"

if git -C "$ROOT" rev-parse --verify -q HEAD >/dev/null 2>&1; then
  SOURCE_DATE_EPOCH="$(git -C "$ROOT" log -1 --format=%ct)"
else
  SOURCE_DATE_EPOCH=1700000000
fi
export SOURCE_DATE_EPOCH
unset MERIVAST_SIGN_CERT MERIVAST_SIGN_KEY MERIVAST_SIGN_PASSWORD_FILE MERIVAST_SIGN_TIMESTAMP

A="$TMP/a/src"
B="$TMP/second-build/of-the-same-commit/src"
# build_copy <dir>: the tree's files there, built; output in <dir>.log.
build_copy() {
  mkdir -p "$1"
  (cd "$ROOT" && git ls-files -z --cached --others --exclude-standard 2>/dev/null ||
     find . -path ./.git -prune -o -type f -print0) |
    (cd "$ROOT" && xargs -0 cp --parents -t "$1" 2>/dev/null)
  # Behind the suite's own tests in priority: this is two builds' worth of work.
  nice -n 10 "$1/scripts/build" --no-tests >"$1.log" 2>&1
}
for dir in "$A" "$B"; do
  start=$SECONDS
  if build_copy "$dir"; then
    pass "scripts/build --no-tests in ${dir#"$TMP/"} ($((SECONDS - start)) s)"
  else
    fail "scripts/build --no-tests in ${dir#"$TMP/"}: $(tail -n 20 "$dir.log")"
    finish
  fi
done

# An application of its own, packaged in each copy from the same folder.
APP="$TMP/app"
mkdir -p "$APP/lib" "$APP/conf"
cp "$A/dist/lib/merivast-agent.jar" "$APP/lib/"
printf 'stop.timeout=20\r\n' >"$APP/conf/service.properties"
for dir in "$A" "$B"; do
  "$dir/scripts/package" --app "$APP" --name MvtRepro --version 1.0 --manufacturer "Merivast Tests" \
    >"$dir.app.log" 2>&1 || fail "package --app in ${dir#"$TMP/"}: $(tail -n 5 "$dir.app.log")"
done

echo "== the same bytes"
for f in MerivastService.exe x64/MerivastService.exe lib/merivast-agent.jar \
         "MerivastService-$VERSION-x86.zip" "MerivastService-$VERSION-x64.zip" \
         "MerivastService-$VERSION-x86.msi" "MerivastService-$VERSION-x64.msi" SHA256SUMS \
         MvtRepro/MvtRepro-1.0-x86.msi MvtRepro/MvtRepro-1.0-x64.msi MvtRepro/MvtRepro-1.0-x64.zip; do
  if cmp -s "$A/dist/$f" "$B/dist/$f"; then
    pass "$f"
  else
    fail "$f: $(cmp -l "$A/dist/$f" "$B/dist/$f" 2>&1 | wc -l) bytes differ"
  fi
done

echo "== what the executables leave out"
# The PE header's TimeDateStamp: 0 without a link time.
link_time() {
  local header
  header="$(od -An -tu4 -j60 -N4 "$1" | tr -d ' ')"
  od -An -tu4 -j$((header + 8)) -N4 "$1" | tr -d ' '
}
for exe in MerivastService.exe x64/MerivastService.exe; do
  expect_eq "$exe has no link time" 0 "$(link_time "$A/dist/$exe")"
  check "$exe names no build directory" not grep -qaF "$TMP" "$A/dist/$exe"
done

echo "== the commit's time"
expect_eq "the MSI was created at the commit's time" \
  "Created: $(LC_ALL=C TZ=UTC date -d "@$SOURCE_DATE_EPOCH" '+%a %b %e %H:%M:%S %Y')" \
  "$(TZ=UTC msiinfo suminfo "$A/dist/MerivastService-$VERSION-x86.msi" | grep '^Created:')"
# Zip entries keep even seconds: zip rounds an odd one up.
expect_eq "every zip entry is dated the commit's time" \
  "$(TZ=UTC date -d "@$(((SOURCE_DATE_EPOCH + 1) / 2 * 2))" '+%Y%m%d.%H%M%S')" \
  "$(TZ=UTC unzip -Z -T "$A/dist/MerivastService-$VERSION-x86.zip" | awk '/^[-d]/ { print $7 }' | sort -u)"

finish
