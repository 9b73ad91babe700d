#!/usr/bin/env bash
# scripts/package, run in a copy of the source tree: it makes the packages of
# both architectures and their SHA-256 list, keeps the packages of other
# versions (and lists them), keeps them (and the other architecture's tree)
# out of the zips,
# takes the version from CMakeLists.txt, makes the same bytes again from the
# same trees, says when it does not sign, and refuses to run without both
# built trees or with half a signing configuration. With --app: an
# application's packages under its own name, its runtime with the packages of
# its architecture only, the whole folder (webapps\, data\, NOTICE.txt) but
# what --exclude names, java.home in another letter case, a jar named R&D.jar
# under its own name, a jar that is a link (packaged as the file it points
# to), an executable jar (main.jar), the sample's conf\jvm.options for an
# application without one, and a table of what it refuses (names, versions,
# texts, a runtime of the other pointer size or none at all, conf\ files the
# host would refuse, a main.class no jar holds, a main.jar without a
# Main-Class, file names Windows or the MSI cannot hold, links to nothing or
# in a loop, a jar that is no zip), each time leaving the output folder as it
# was.
# Usage: script_test.sh <source root>   (dist/ as scripts/build left it)
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
setup_common "$1"

R="$TMP/root"
copy_packaging_root "$R"

unset MERIVAST_SIGN_CERT MERIVAST_SIGN_KEY MERIVAST_SIGN_PASSWORD_FILE MERIVAST_SIGN_TIMESTAMP
export SOURCE_DATE_EPOCH=1700000000
package() { "$R/scripts/package" >"$TMP/package.log" 2>&1; }
outputs() {
  (cd "$R/dist" && ls -1d MerivastService-*.msi MerivastService-*.zip install.cmd uninstall.cmd jre \
     x64/install.cmd x64/uninstall.cmd x64/jre MerivastInstallActions.dll x64/MerivastInstallActions.dll \
     SHA256SUMS 2>/dev/null | LC_ALL=C sort)
}
log_has() { grep -qF -- "$1" "$TMP/package.log"; }
set_version() {
  sed -i "s/^project(MerivastService VERSION [0-9.]*/project(MerivastService VERSION $1/" "$R/CMakeLists.txt"
}
# zip_listing <version> <arch>
zip_listing() { unzip -Z1 "$R/dist/MerivastService-$1-$2.zip" | LC_ALL=C sort; }
zip_has() { zip_listing "$1" "$2" | grep -qxF "$3"; }
product_version() {
  msiinfo export "$1" Property | awk -F'\t' '$1 == "ProductVersion" { print $2 }' | tr -d '\r'
}

echo "== stale outputs of an earlier version"
set_version 0.0.9
check "package 0.0.9" package
touch "$R/dist/jre/stale.txt" "$R/dist/x64/jre/stale.txt"
set_version "$VERSION"
check "package $VERSION over it" package
expect_eq "this version's outputs, and 0.0.9's packages kept" \
  "$(printf '%s\n' MerivastService-0.0.9-x86.msi MerivastService-0.0.9-x86.zip \
       MerivastService-0.0.9-x64.msi MerivastService-0.0.9-x64.zip \
       "MerivastService-$VERSION-x86.msi" "MerivastService-$VERSION-x86.zip" \
       "MerivastService-$VERSION-x64.msi" "MerivastService-$VERSION-x64.zip" \
       install.cmd uninstall.cmd jre x64/install.cmd x64/uninstall.cmd x64/jre MerivastInstallActions.dll \
       x64/MerivastInstallActions.dll SHA256SUMS | LC_ALL=C sort)" \
  "$(outputs)"
check "it says it kept them" log_has "kept the packages of other versions"
expect_eq "jre/ holds only the note" "README.txt" "$(ls "$R/dist/jre")"
expect_eq "x64/jre/ holds only the note" "README.txt" "$(ls "$R/dist/x64/jre")"
first_x86="$(zip_listing "$VERSION" x86)"
first_x64="$(zip_listing "$VERSION" x64)"
expect_eq "the zips hold no package and no file from before" "" \
  "$(grep -E '\.(msi|zip)$|stale' <<<"$first_x86$first_x64")"
expect_eq "the x86 zip holds nothing of the x64 tree" "" "$(grep '/x64/' <<<"$first_x86")"

check "it says the packages are unsigned" log_has "package: unsigned:"
expect_eq "SHA256SUMS lists both executables and every package" \
  "$(printf '%s\n' MerivastService.exe x64/MerivastService.exe MerivastService-0.0.9-x86.msi \
       MerivastService-0.0.9-x86.zip MerivastService-0.0.9-x64.msi MerivastService-0.0.9-x64.zip \
       "MerivastService-$VERSION-x86.msi" "MerivastService-$VERSION-x86.zip" \
       "MerivastService-$VERSION-x64.msi" "MerivastService-$VERSION-x64.zip" | LC_ALL=C sort)" \
  "$(sed 's/^[0-9a-f]\{64\}  //' "$R/dist/SHA256SUMS" | LC_ALL=C sort)"
check "the sums are right" bash -c "cd '$R/dist' && sha256sum --quiet -c SHA256SUMS"

echo "== packaging again"
cp "$R/dist/SHA256SUMS" "$TMP/first-sums"
check "package $VERSION again" package
expect_eq "the x86 zip lists the same entries" "$first_x86" "$(zip_listing "$VERSION" x86)"
expect_eq "the x64 zip lists the same entries" "$first_x64" "$(zip_listing "$VERSION" x64)"
check "the same trees give the same bytes" cmp -s "$TMP/first-sums" "$R/dist/SHA256SUMS"
for arch in x86 x64; do
  expect_eq "the $arch package has the project's version" "$VERSION" \
    "$(product_version "$R/dist/MerivastService-$VERSION-$arch.msi")"
done

echo "== another version"
set_version 2.3.4
check "package 2.3.4" package
check "the x86 zip's top folder carries the version" \
  zip_has 2.3.4 x86 MerivastService-2.3.4/MerivastService.exe
check "the x64 zip's top folder carries the version and x64" \
  zip_has 2.3.4 x64 MerivastService-2.3.4-x64/MerivastService.exe
for arch in x86 x64; do
  expect_eq "the $arch package has the new version" "2.3.4" \
    "$(product_version "$R/dist/MerivastService-2.3.4-$arch.msi")"
  check "the $VERSION $arch package is kept" test -e "$R/dist/MerivastService-$VERSION-$arch.msi"
done

echo "== an application of its own"
APP="$TMP/app"
mkdir -p "$APP/lib" "$APP/conf"
cp "$DIST/lib/merivast-agent.jar" "$APP/lib/app.jar"
printf 'stop.timeout=20\r\n' >"$APP/conf/service.properties"
ship() { "$R/scripts/package" --app "$APP" --version 1.2.3 --manufacturer "Merivast Tests" "$@" >"$TMP/package.log" 2>&1; }
check "package --app --name MvtApp" ship --name MvtApp --out "$TMP/app-out"
expect_eq "the two MSIs and zips of 1.2.3, and their sums" \
  "$(printf '%s\n' MvtApp-1.2.3-x64.msi MvtApp-1.2.3-x64.zip MvtApp-1.2.3-x86.msi MvtApp-1.2.3-x86.zip SHA256SUMS)" \
  "$(ls -1 "$TMP/app-out" | LC_ALL=C sort)"
check "the sums are right" bash -c "cd '$TMP/app-out' && sha256sum --quiet -c SHA256SUMS"
unzip -p "$TMP/app-out/MvtApp-1.2.3-x64.zip" MvtApp-1.2.3-x64/install.cmd >"$TMP/install.cmd"
unzip -p "$TMP/app-out/MvtApp-1.2.3-x86.zip" MvtApp-1.2.3/uninstall.cmd >"$TMP/uninstall.cmd"
check "install.cmd is preset to the service's name" grep -qx $'set "SERVICE=MvtApp"\r' "$TMP/install.cmd"
check "and so is uninstall.cmd" grep -qx $'set "SERVICE=MvtApp"\r' "$TMP/uninstall.cmd"
check "the application's own conf\\ goes with it" \
  cmp -s "$APP/conf/service.properties" <(unzip -p "$TMP/app-out/MvtApp-1.2.3-x86.zip" MvtApp-1.2.3/conf/service.properties)
check "it says the operator provides the runtime" log_has "no Java runtime in jre/: the operator provides one"
check "it says the packages carry the sample's conf\\jvm.options" log_has "has no conf/jvm.options: the packages carry the sample's"
check "which puts crash files and heap dumps in logs\\" \
  cmp -s "$DIST/conf/jvm.options" <(unzip -p "$TMP/app-out/MvtApp-1.2.3-x86.zip" MvtApp-1.2.3/conf/jvm.options)
check "without --out, dist/<name>/" ship --name MvtApp --arch x64
expect_eq "the x64 packages alone" "$(printf '%s\n' MvtApp-1.2.3-x64.msi MvtApp-1.2.3-x64.zip SHA256SUMS)" \
  "$(ls -1 "$R/dist/MvtApp" | LC_ALL=C sort)"
# A runtime in jre\ goes with the packages of its own architecture only.
mkdir -p "$APP/jre/bin/server"
# A DLL's headers, read by the host's own reader: the x64 host's will do.
cp "$DIST/x64/MerivastService.exe" "$APP/jre/bin/server/jvm.dll"
check "package --arch x64 with a 64-bit runtime" ship --name MvtApp --arch x64 --out "$TMP/app-rt"
check "the runtime is in the zip" bash -c "unzip -Z1 '$TMP/app-rt/MvtApp-1.2.3-x64.zip' | grep -qx 'MvtApp-1.2.3-x64/jre/bin/server/jvm.dll'"
check "and no note" not bash -c "unzip -Z1 '$TMP/app-rt/MvtApp-1.2.3-x64.zip' | grep -q README.txt"

echo "== the whole folder, names as Windows compares them"
WEB="$TMP/web"
mkdir -p "$WEB/lib" "$WEB/webapps/ROOT" "$WEB/data" "$WEB/JRE/bin/client" "$WEB/scratch"
cp "$DIST/lib/merivast-agent.jar" "$WEB/lib/R&D.jar"
echo page >"$WEB/webapps/ROOT/index.html"
echo notice >"$WEB/NOTICE.txt"
echo row >"$WEB/data/rows.txt"
echo tmp >"$WEB/scratch/x.tmp"
cp "$DIST/MerivastService.exe" "$WEB/JRE/bin/client/jvm.dll"
mkdir -p "$WEB/Conf" && printf 'java.home=jre\r\n' >"$WEB/Conf/service.properties"
run_package() { "$R/scripts/package" "$@" >"$TMP/package.log" 2>&1; }
check "package --app with webapps\\, data\\, JRE\\ and Conf\\" \
  run_package --app "$WEB" --name MvtWeb --version 1.0 --manufacturer M --arch x86 --out "$TMP/web-out" \
  --exclude scratch
web_zip="$(unzip -Z1 "$TMP/web-out/MvtWeb-1.0-x86.zip" | sed 's|^MvtWeb-1.0/||' | grep -v '/$' | LC_ALL=C sort)"
for f in webapps/ROOT/index.html data/rows.txt NOTICE.txt JRE/bin/client/jvm.dll "lib/R&D.jar" conf/service.properties; do
  check "the zip holds $f" grep -qxF "$f" <<<"$web_zip"
done
check "and not what --exclude names" not grep -q scratch <<<"$web_zip"
check "java.home=jre finds the runtime in JRE\\ (no note instead)" not grep -q README.txt <<<"$(grep '^JRE/' <<<"$web_zip")"
web_files="$(msiinfo export "$TMP/web-out/MvtWeb-1.0-x86.msi" File | tail -n +4 | cut -f3 | sed 's/^.*|//' | LC_ALL=C sort)"
expect_eq "the MSI installs the same files under their own names (conf\\'s in defaults\\)" \
  "$(printf '%s\n' MerivastService.exe NOTICE.txt 'R&D.jar' index.html jvm.dll jvm.options rows.txt service.properties | LC_ALL=C sort)" \
  "$(tr -d '\r' <<<"$web_files")"

echo "== links, and an executable jar"
LINKED="$TMP/linked"
mkdir -p "$LINKED/lib" "$LINKED/conf" "$TMP/classes"
# As Debian's /usr/share/java jars are: links to a versioned file elsewhere.
ln -s "$DIST/lib/merivast-agent.jar" "$LINKED/lib/agent.jar"
check "package --app with a jar that is a link" \
  run_package --app "$LINKED" --name MvtLinked --version 1.0 --manufacturer M --arch x86 --out "$TMP/linked-out"
check "the MSI's File table holds it" \
  grep -qx 'agent.jar' <<<"$(msiinfo export "$TMP/linked-out/MvtLinked-1.0-x86.msi" File | tail -n +4 | cut -f3 | sed 's/^.*|//' | tr -d '\r')"
check "the zip holds the file it points to" \
  cmp -s "$DIST/lib/merivast-agent.jar" <(unzip -p "$TMP/linked-out/MvtLinked-1.0-x86.zip" MvtLinked-1.0/lib/agent.jar)
(cd "$TMP/classes" && unzip -q "$DIST/lib/merivast-agent.jar")
rm "$LINKED/lib/agent.jar"
jar --create --file "$LINKED/lib/orders.jar" --main-class com.merivast.agent.MerivastMain -C "$TMP/classes" .
printf 'main.jar=lib/orders.jar\r\n' >"$LINKED/conf/service.properties"
check "package --app with main.jar=lib/orders.jar, whose Main-Class it holds" \
  run_package --app "$LINKED" --name MvtLinked --version 1.0 --manufacturer M --arch x86 --out "$TMP/linked-out"

echo "== what package --app refuses, with the output folder as it was"
# refused <what it says> <options...>: the command fails, says it, writes nothing.
# The output folder holds an earlier run's packages, which must stay as they
# were.
mkdir -p "$TMP/refused"
"$R/scripts/package" --app "$APP" --name X --version 0.9 --manufacturer M --arch x64 --out "$TMP/refused" \
  >/dev/null 2>&1 || fail "packaging X 0.9"
refused_before="$(cd "$TMP/refused" && sha256sum -- *)"
refused() {
  local says="$1"
  shift
  if "$R/scripts/package" "$@" --out "$TMP/refused" >"$TMP/package.log" 2>&1; then
    fail "package $*: not refused"
  else
    check "package $*: says \"$says\"" log_has "$says"
    expect_eq "package $*: the output folder is as it was" "$refused_before" "$(cd "$TMP/refused" && sha256sum -- *)"
  fi
}
ok=(--app "$APP" --version 1.0 --manufacturer M)
mkdir -p "$TMP/nolib/lib"
refused "holds no jar: the application's jars go in lib" --app "$TMP/nolib" --name X --version 1.0 --manufacturer M
for name in "" "two words" "a/b" 'a\b' "$(printf 'N%.0s' {1..81})" "a;b"; do
  refused "is not a service name the packages take: 1 to 80 characters" "${ok[@]}" --name "$name"
done
for name in . .. Orders.; do
  refused "is not a service name the packages take: Windows forbids a folder name that ends in a period" "${ok[@]}" --name "$name"
done
refused "is not a service name the packages take: the first character must be a letter or a digit" "${ok[@]}" --name -rf
for name in CON nul.x LPT1; do
  refused "is not a service name the packages take: ${name%%.*} is a device name Windows reserves" "${ok[@]}" --name "$name"
done
for version in 1 1.2.3.4 256.0 1.256 1.0.65536 1.02 x.y 1.0-beta; do
  refused "is not a version Windows Installer can order" --app "$APP" --name X --manufacturer M --version "$version"
done
for text in "[x]" "a{b}" 'a"b' "a&b" 'a$b'; do
  refused "is not a text the packages take" "${ok[@]}" --name X --display-name "$text"
done
refused "is not a text the packages take" "${ok[@]}" --name X --manufacturer ""
refused "--manufacturer is needed with --app" --app "$APP" --name X --version 1.0
refused "is not x86, x64 or both" "${ok[@]}" --name X --arch arm64
refused "needs --app" --name X
refused "is a 64-bit Java runtime, which the x86 host cannot load: package only --arch x64" "${ok[@]}" --name X
rm -rf "$APP/jre"
printf 'stop.timeout=30s\r\n' >"$APP/conf/service.properties"
refused 'conf\service.properties line 1: stop.timeout must be a whole number of seconds from 0 to 86400, not "30s".' \
  "${ok[@]}" --name X
printf 'main.class=org/example/App\r\n' >"$APP/conf/service.properties"
refused 'conf\service.properties line 1: main.class "org/example/App" is not a Java class name' "${ok[@]}" --name X
printf 'main.class=com.merivast.agent.MerivastMian\r\n' >"$APP/conf/service.properties"
refused "main.class com.merivast.agent.MerivastMian is in none of the jars of $APP/lib (app.jar): check the class's name" \
  "${ok[@]}" --name X
rm "$APP/conf/service.properties"
printf -- '-Xmx1g\r\nXmx2g\r\n' >"$APP/conf/jvm.options"
refused 'conf\jvm.options line 2: "Xmx2g" is not a JVM option' "${ok[@]}" --name X
# Big-endian UTF-16, as the host reads it too.
printf -- '\xfe\xff\0#\0\r\0\n\0-\0X\0m\0s\0\x36\0\x34\0m\0 \0-\0X\0m\0x\0\x32\0\x35\0\x36\0m\0\r\0\n' \
  >"$APP/conf/jvm.options"
check "two options on a line of conf\\jvm.options are packaged" ship --name MvtTwoOptions --out "$TMP/two-options"
check "with a warning naming them" \
  log_has 'package: warning: conf\jvm.options holds "-Xms64m -Xmx256m": the runtime takes each line as one option'
rm "$APP/conf/jvm.options"
printf 'main.jar=lib/app.jar\r\n' >"$APP/conf/service.properties"
refused "main.jar $APP/lib/app.jar has no Main-Class in its manifest" "${ok[@]}" --name X
rm "$APP/conf/service.properties"
# name|what it says
while IFS='|' read -r name says; do
  cp "$DIST/lib/merivast-agent.jar" "$APP/lib/$name"
  refused "$APP/lib/$name: $says" "${ok[@]}" --name X
  rm -f "$APP/lib/$name"
done <<'NAMES'
中文.jar|a name outside printable ASCII
café.jar|a name outside printable ASCII
a:b.jar|Windows cannot hold a name with
a*b.jar|Windows cannot hold a name with
a<b>.jar|Windows cannot hold a name with
nul.jar|nul is a device name Windows reserves
x.jar.|Windows cannot hold a name that ends in a space or a period
NAMES
cp "$DIST/lib/merivast-agent.jar" "$APP/lib/APP.jar"
refused "two names differ only in letter case" "${ok[@]}" --name X
rm "$APP/lib/APP.jar"
# link|what it points to|what it says
while IFS='|' read -r link target says; do
  ln -s "$target" "$APP/lib/$link"
  refused "$APP/lib/$link: $says" "${ok[@]}" --name X
  rm "$APP/lib/$link"
done <<'LINKS'
gone.jar|/nonexistent/x.jar|a link to /nonexistent/x.jar, which does not exist
loop.jar|loop.jar|a link in a loop of links
up|..|a link to a folder that holds it
LINKS
mkdir -p "$APP/defaults"
refused "$APP/defaults: the package's own folder, where the MSI puts the defaults of conf\\" "${ok[@]}" --name X
rmdir "$APP/defaults"
: >"$APP/lib/empty.jar"
refused "$APP/lib/empty.jar is not a jar (no zip archive in it)" "${ok[@]}" --name X
rm "$APP/lib/empty.jar"
mkdir -p "$APP/logs" "$APP/jre/bin/server"
refused "$APP/logs: the service's own folder" "${ok[@]}" --name X
rmdir "$APP/logs"
: >"$APP/jre/bin/server/jvm.dll"
refused "$APP/jre/bin/server/jvm.dll is not a Java runtime for x86 or x64 Windows" "${ok[@]}" --name X
rm -rf "$APP/jre"
mkdir -p "$TMP/-dash/lib"
cp "$DIST/lib/merivast-agent.jar" "$TMP/-dash/lib/"
check "a folder named -dash is packaged" bash -c "cd '$TMP' && '$R/scripts/package' --app -dash --name MvtDash --version 1.0 --manufacturer M --arch x86 --out '$TMP/dash-out' >/dev/null 2>&1"
mkdir -p "$TMP/a|b/lib"
refused "Windows cannot name a folder whose path holds" --app "$TMP/a|b" --name X --version 1.0 --manufacturer M

echo "== half a signing configuration"
for half in MERIVAST_SIGN_CERT MERIVAST_SIGN_KEY; do
  check "package fails with only $half" not env "$half=$R/CMakeLists.txt" "$R/scripts/package" \
    >"$TMP/package.log" 2>&1
  check "it says both are needed" log_has "MERIVAST_SIGN_CERT and MERIVAST_SIGN_KEY go together"
done

echo "== without a built tree"
mv "$R/dist/x64/MerivastService.exe" "$TMP/x64.exe"
check "package fails without dist/x64/" not package
check "it says to run scripts/build" grep -q "dist/x64/MerivastService.exe is missing; run scripts/build" "$TMP/package.log"
mv "$TMP/x64.exe" "$R/dist/x64/MerivastService.exe"
rm "$R/dist/MerivastService.exe"
check "package fails without dist/" not package
check "it says to run scripts/build" grep -q "dist/MerivastService.exe is missing; run scripts/build" "$TMP/package.log"

finish
