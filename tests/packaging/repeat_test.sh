#!/usr/bin/env bash
# scripts/package's answers do not depend on timing: an application whose
# jar has 1,029 entries, its class the 864th (as H2's jar has), packaged
# twenty times in a row gives twenty times the same packages.
# Usage: repeat_test.sh <source root>   (dist/ as scripts/build left it)
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
setup_common "$1"

R="$TMP/root"
copy_packaging_root "$R"
export SOURCE_DATE_EPOCH=1700000000
unset MERIVAST_SIGN_CERT MERIVAST_SIGN_KEY MERIVAST_SIGN_PASSWORD_FILE MERIVAST_SIGN_TIMESTAMP

APP="$TMP/large"
mkdir -p "$APP/lib"
python3 - "$APP/lib/large.jar" <<'PY'
import sys, zipfile
with zipfile.ZipFile(sys.argv[1], "w") as jar:
    for i in range(1, 1030):
        name = "com/merivast/agent/MerivastMain.class" if i == 864 else f"org/example/C{i:04}.class"
        jar.writestr(zipfile.ZipInfo(name, (2023, 11, 14, 0, 0, 0)), b"\xca\xfe\xba\xbe")
PY
expect_eq "the jar has 1,029 entries, the class the 864th" "1029 com/merivast/agent/MerivastMain.class" \
  "$(unzip -Z1 "$APP/lib/large.jar" | awk 'NR == 864 { name = $0 } END { print NR, name }')"

first=""
same=0
for run in $(seq 20); do
  if ! "$R/scripts/package" --app "$APP" --name MvtLarge --version 1.0 --manufacturer M --arch x86 \
       --out "$TMP/out" >"$TMP/package.log" 2>&1; then
    fail "run $run: $(tail -n 2 "$TMP/package.log")"
    continue
  fi
  sums="$(cat "$TMP/out/SHA256SUMS")"
  [ -n "$first" ] || first="$sums"
  [ "$sums" = "$first" ] && same=$((same + 1))
done
expect_eq "twenty runs, twenty times the same packages" 20 "$same"

finish
