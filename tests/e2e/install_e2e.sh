#!/usr/bin/env bash
# A whole installation on the demo under Wine: lays the demo out, drives the real window from the
# mode choice and the click to the result and the closing, then checks from outside what the run
# did to the files (backup archive, new database with the users' records and classifier rows,
# component files, table integrity). Screenshots end up as PNG files in OUT/shots.
#
# usage: install_e2e.sh <transfer|replace|broken-program> <OUT> [records] [users' records]
# broken-program: a transfer run whose Prog.zip is no archive: the run ends with the failure
# message after the new database went in, and stage 4 still carries the users' data over.
# With TARVO_E2E_INTERACTIVE=1 the window is left to a person (who should choose that mode), and
# the checks run once the program has ended.
# Environment: TARVO_SOURCE_DIR (the source tree), TARVO_BINARY_DIR (the Windows build),
#   TARVO_WINEPREFIX (default: the build's prefix), TARVO_NATIVE_DIR (a native build whose tools
#   are used when present; "none" for the Windows tools under Wine).
set -uo pipefail
scenario=$1 out=$2 records=${3:-3000} users=${4:-300}
mode=$scenario
expect=""
if [ "$scenario" = broken-program ]; then
  mode=transfer
  expect=failure
fi
# shellcheck source=e2e_common.sh
source "$(dirname "${BASH_SOURCE[0]}")/e2e_common.sh"
e2e_on_display "$@"
top=${TARVO_SOURCE_DIR:?}
bin=${TARVO_BINARY_DIR:?}
export TARVO_MINGW_DIR="$bin"
export TARVO_NATIVE_DIR="${TARVO_NATIVE_DIR:-none}"
export TARVO_WINEPREFIX="${TARVO_WINEPREFIX:-$bin/wineprefix}"
e2e_wine

passed=0 failed=0
check() {  # check "what" command...: one outside check
  local what=$1
  shift
  if "$@"; then
    passed=$((passed + 1))
    echo "ok   $what"
  else
    failed=$((failed + 1))
    echo "FAIL $what"
  fi
}
finish() {
  e2e_png "$out/shots"
  echo "screenshots: $out/shots"
  echo "$passed passed, $failed failed"
  # A bare exit in this trap would return the status of the script's last command.
  if [ "$failed" = 0 ]; then exit 0; else exit 1; fi
}
trap finish EXIT

phase() { echo "-- $* (at ${SECONDS} s)"; }
phase "laying the demo out"
rm -rf "$out"
mkdir -p "$out/shots" "$out/before"
out=$(cd "$out" && pwd)
e2e_layout "$records" "$users" || {
  echo "FAIL the demo could not be laid out"
  failed=$((failed + 1))
  exit 1
}
layout=$(< "$out/layout.txt")
product=$(sed -n 's/^Product=//p' <<<"$layout")
update=$(sed -n 's/^Update=//p' <<<"$layout")
staged=$(sed -n 's/^Staged=//p' <<<"$layout")
base="$product/Base"
[ "$scenario" = broken-program ] && printf 'not an archive' > "$update/Prog.zip"

e2e_table_tools "$TARVO_NATIVE_DIR" "$bin" winpath
dump() {  # dump TABLE [FILTER]: tab-separated rows without the header line
  if [ -n "${2:-}" ]; then table dump --tsv --filter "$2" "$(tp "$1")"; else table dump --tsv "$(tp "$1")"; fi |
    tail -n +2
}
quiet() { "$@" > /dev/null; }
same_rows() { [ -s "$1" ] && cmp -s "$1" "$2"; }  # an empty "before" would prove nothing
# Detail rows without their first field (the engine numbers new rows itself).
details() { dump "$1" "NOBOSN = 'U*'" | cut -f2- | sort; }

# What the old database holds, to compare with afterwards.
phase "reading the old database"
dump "$base/Base8491.db" "YEAR = '04'" > "$out/before/master.tsv"
for t in Link8491 Link_mex W_list; do details "$base/$t.db" > "$out/before/$t.tsv"; done
dump "$base/Kl_spr.db" "YEAR = '04'" | cut -f1-3 | sort > "$out/before/classifier.tsv"
(cd "$base" && md5sum -- * > "$out/before/files.md5")

phase "the readiness check and the installation"
(cd "$update" && "$WINE" ./TarvoUpdate.exe /check) > "$out/check.txt" 2>&1
readiness=$?
tr -d '\r' < "$out/check.txt" | grep -E '^(Product|Version|Mode|Memo)' | sed 's/^/  \/check: /'
check "TarvoUpdate.exe /check: the installation could start" [ "$readiness" = 0 ]

if [ "${TARVO_E2E_INTERACTIVE:-}" = 1 ]; then
  echo "The window is yours: choose $mode mode, press [Начать установку], close the window at the end."
  (cd "$update" && "$WINE" ./TarvoUpdate.exe)
else
  "$WINE" "$bin/tests/e2e/tarvo_install_driver.exe" 'C:\Update\' 'C:\Tarvo\' \
    "$(winpath "$out/shots")" "$mode" $expect > "$out/driver.txt" 2>&1
  driver=$?
  tr -d '\r' < "$out/driver.txt" | sed 's/^/  driver: /'
  check "the driver ran the installation from the click to the closing ($scenario)" [ "$driver" = 0 ]
fi

phase "checking the result from outside"
# The backup archive: dated name, a tested ZIP, the old database inside, byte for byte.
name_pattern='^Архив от [0-3][0-9]\.[01][0-9]\.20[0-9][0-9] г\. \[[0-2][0-9]-[0-5][0-9]\]Tarvo$'
archives=$(ls "$product/Backup" 2>/dev/null)
archive="$product/Backup/$archives"
check "one backup archive with the dated name in Backup\\ ($archives)" \
  grep -qE "$name_pattern" <<<"$archives"
check "the backup archive passes unzip -t" unzip -tq "$archive"
backup_holds_old() {
  local sum file
  while read -r sum file; do
    [ "$(unzip -p "$archive" "Base/$file" | md5sum | cut -d' ' -f1)" = "$sum" ] || return 1
  done < "$out/before/files.md5"
}
check "the backup archive holds every file of the old database unchanged" backup_holds_old

# The components: the new database and the program files are in place.
same_as_staged() { cmp -s "$staged/$1" "$product/$2"; }
if [ "$scenario" = broken-program ]; then
  check "the damaged Prog.zip installed nothing" \
    bash -c '[ ! -e "$1/Doc" ] && [ ! -e "$1/Templates" ] && ! cmp -s "$2/Prog/Tarvo7.exe" "$1/Tarvo7.exe"' \
    _ "$product" "$staged"
else
  check "Prog.zip: Doc\\Что нового.txt extracted" same_as_staged "Prog/Doc/Что нового.txt" "Doc/Что нового.txt"
  check "Prog.zip: Templates\\Smeta.xlt extracted" same_as_staged "Prog/Templates/Smeta.xlt" "Templates/Smeta.xlt"
  check "Prog.zip: Tarvo7.exe replaced" same_as_staged "Prog/Tarvo7.exe" "Tarvo7.exe"
fi
new_rows=$(dump "$base/Base8491.db" "YEAR = '2026'" | wc -l)
check "Base.zip: the new database is in place ($new_rows product records of 2026)" [ "$new_rows" = "$records" ]
check "the archive copies are gone from the product folder" \
  bash -c '! ls "$1"/*.zip >/dev/null 2>&1' _ "$product"

# Every touched table family is sound.
for t in "$base"/Base8491.db "$base"/Link8491.db "$base"/Link_mex.db "$base"/W_list.db \
  "$base"/Kl_spr.db "$base"/Kl_Group.db "$update"/U_Base8491.db "$update"/U_Link8491.db \
  "$update"/U_Link_mex.DB "$update"/U_W_list.DB; do
  check "tarvo-table check $(basename "$t")" quiet table check "$(tp "$t")"
done
check "no set-aside classifier files are left" \
  bash -c '! ls "$1"/_Kl_spr* >/dev/null 2>&1' _ "$base"

dump "$base/Base8491.db" "YEAR = '04'" > "$out/after_master.tsv"
for t in Link8491 Link_mex W_list; do details "$base/$t.db" > "$out/after_$t.tsv"; done
dump "$base/Kl_spr.db" "Group_kod = 1000" | cut -f1-3 | sort > "$out/after_classifier.tsv"
group=$(dump "$base/Kl_Group.db" "Group_kod = 1000")
saved=$(dump "$update/U_Base8491.db" | wc -l)
users_found=$(wc -l < "$out/after_master.tsv")
classifier_found=$(wc -l < "$out/after_classifier.tsv")
detail_counts=""
for t in Link8491 Link_mex W_list; do detail_counts+="$(wc -l < "$out/after_$t.tsv") "; done
if [ "$mode" = transfer ]; then
  check "the users' records were saved into U_Base8491 ($saved)" [ "$saved" = "$users" ]
  check "the new database holds the users' $users records, field for field" \
    same_rows "$out/before/master.tsv" "$out/after_master.tsv"
  for t in Link8491 Link_mex W_list; do
    check "$t holds the users' detail rows ($(wc -l < "$out/before/$t.tsv")), memo included" \
      same_rows "$out/before/$t.tsv" "$out/after_$t.tsv"
  done
  check "the users' classifier rows are merged in group 1000 ($classifier_found)" \
    same_rows "$out/before/classifier.tsv" "$out/after_classifier.tsv"
  check "the users' group exists in Kl_Group" [ "$group" = "1000	Сборники пользователя" ]
else
  check "replace mode saved nothing ($saved in U_Base8491)" [ "$saved" = 0 ]
  check "replace mode leaves no users' records ($users_found)" [ "$users_found" = 0 ]
  check "replace mode leaves no users' detail rows ($detail_counts)" [ "$detail_counts" = "0 0 0 " ]
  check "replace mode merges no classifier rows ($classifier_found)" [ "$classifier_found" = 0 ]
  check "replace mode adds no users' group" [ -z "$group" ]
fi

phase "done"
echo "summary: $scenario; backup archive: $archives"
echo "summary: users' records in the new database: $users_found (detail rows: $detail_counts)"
echo "summary: classifier rows in group 1000: $classifier_found"
